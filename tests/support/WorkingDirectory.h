// A change of the working directory that is undone when the guard goes, so a
// failed assertion in between cannot leave the next test in another place.
#pragma once

#include <string>

namespace testsupport {

class WorkingDirectory {
  public:
    WorkingDirectory() = default;
    explicit WorkingDirectory(const std::string& path) { enter(path); }
    ~WorkingDirectory() { leave(); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

    // False when the directory cannot be entered; nothing changes then.
    bool enter(const std::string& path);
    bool entered() const { return !previous_.empty(); }
    // Back to where enter() was called; a failure to get there fails the test.
    void leave();

  private:
    std::string previous_;
};

}  // namespace testsupport
