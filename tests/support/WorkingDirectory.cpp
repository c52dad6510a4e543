// The working-directory guard (see WorkingDirectory.h).
#include "support/WorkingDirectory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

namespace testsupport {

bool WorkingDirectory::enter(const std::string& path) {
    leave();
    char* current = getcwd(nullptr, 0);
    if (!current) return false;
    std::string previous = current;
    std::free(current);
    if (chdir(path.c_str()) != 0) return false;
    previous_ = previous;
    return true;
}

void WorkingDirectory::leave() {
    if (previous_.empty()) return;
    if (chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previous_;
    previous_.clear();
}

}  // namespace testsupport
