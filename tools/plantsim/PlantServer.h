// The Modbus TCP side of plantsim: one listening socket on 127.0.0.1 and any
// number of clients, served from one poll loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Plant.h"
#include "sources/ByteCursor.h"

// Answers one request PDU (function code first) from the image; the answer
// PDU goes to `answer`. Functions 1 to 4 over addresses 0..15 are served;
// anything else gets exception 1 (function), 2 (address) or 3 (quantity).
void answerRequest(const PlantImage& image, ByteReader& request, ByteWriter& answer);

class PlantServer {
  public:
    // Binds 127.0.0.1:port; false (with a message) when that fails.
    bool listenOn(int port);
    // Holds every answer back this long, to play a slow device. The server
    // sleeps meanwhile, so other clients wait too: meant for one client.
    void setAnswerDelay(int ms) { answerDelayMs_ = ms; }
    // Serves until `keepGoing` returns false; it is asked at least every 100 ms.
    // `imageNow` gives the process image at the moment of each request.
    void run(const std::function<bool()>& keepGoing, const std::function<PlantImage()>& imageNow);
    ~PlantServer();

  private:
    struct Client {
        int fd = -1;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
    };
    void acceptClients();
    bool serveInput(Client& client, const std::function<PlantImage()>& imageNow);
    bool flush(Client& client);

    int listener_ = -1;
    int answerDelayMs_ = 0;
    std::vector<Client> clients_;
};
