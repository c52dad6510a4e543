// SHA-1, HMAC-SHA1 and the whole OAuth header build, beside OpenSSL's SHA-1
// and HMAC in the same run. Run it once as it is and once with OpenSSL's
// processor extensions masked, to compare with its portable code path:
//
//   bench_twitter
//   OPENSSL_ia32cap="~0x1000020000000000:~0x20000020" bench_twitter
//
// (the mask clears SSSE3 and AVX in the first word, AVX2 and the SHA
// extensions in the second).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/Encoding.h"
#include "notify/twitter/OAuthSigner.h"
#include "notify/twitter/Sha1.h"

namespace {

std::vector<uint8_t> input(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    return data;
}

void ourSha1(benchmark::State& state) {
    auto data = input(static_cast<size_t>(state.range(0)));
    uint8_t digest[20];
    for (auto _ : state) {
        Sha1 sha1;
        sha1.reset();
        sha1.update(data.data(), static_cast<uint32_t>(data.size()));
        sha1.finalize();
        sha1.digest(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void opensslSha1(benchmark::State& state) {
    auto data = input(static_cast<size_t>(state.range(0)));
    uint8_t digest[20];
    for (auto _ : state) {
        SHA1(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

const std::string kKey =
    "kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw&LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE";

void ourHmac(benchmark::State& state) {
    auto data = input(static_cast<size_t>(state.range(0)));
    uint8_t digest[20];
    for (auto _ : state) {
        HmacSha1 hmac;
        hmac.compute(data.data(), data.size(), reinterpret_cast<const uint8_t*>(kKey.data()), kKey.size(),
                     digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void opensslHmac(benchmark::State& state) {
    auto data = input(static_cast<size_t>(state.range(0)));
    uint8_t digest[20];
    unsigned length = 0;
    for (auto _ : state) {
        HMAC(EVP_sha1(), kKey.data(), static_cast<int>(kKey.size()), data.data(), data.size(), digest,
             &length);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The header of a status update as the channel posts it.
void headerBuild(benchmark::State& state) {
    OAuthSigner signer;
    signer.setConsumerKey("xvz1evFS4wEEPTGEFPHBog");
    signer.setConsumerSecret("kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw");
    signer.setAccessToken("370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb");
    signer.setAccessTokenSecret("LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE");
    const std::string body =
        "status=" + urlEncode("d @operator Tank 1 level high: 120 cm (limit 100), pump P2 on");
    std::string header;
    for (auto _ : state) {
        signer.buildAuthorizationHeader(kHttpPost, "https://api.twitter.com/1.1/statuses/update.json", body,
                                        header, false);
        benchmark::DoNotOptimize(header);
    }
}

}  // namespace

BENCHMARK(ourSha1)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(opensslSha1)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(ourHmac)->Arg(300)->Arg(4096);
BENCHMARK(opensslHmac)->Arg(300)->Arg(4096);
BENCHMARK(headerBuild);

int main(int argc, char** argv) {
    const char* mask = getenv("OPENSSL_ia32cap");
    benchmark::AddCustomContext("OPENSSL_ia32cap", mask ? mask : "(unset)");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
