// Which configuration an operator's command takes without -i on a packaged
// host: the plain unit's, or the one instance's, never a guess among several.
#include "daemon/Instance.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

TEST(Instance, PackagedConfigurationIsThePlainUnitsOrTheOnlyOne) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},
        {{"press1.ini"}, "press1.ini"},
        {{"press1.ini", "zentok.ini"}, "zentok.ini"},
        {{"press1.ini", "press2.ini"}, ""},
        {{"press1.ini.dpkg-old", ".hidden.ini", "notes.txt"}, ""},
    };
    for (const auto& [files, found] : cases) {
        testsupport::TempDir folder;
        for (const std::string& file : files) testsupport::writeFile(folder.file(file), "");
        EXPECT_EQ(packagedConfigIn(folder.path() + "/"), found.empty() ? "" : folder.file(found)) << found;
    }
}
