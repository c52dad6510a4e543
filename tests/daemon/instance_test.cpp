// Which configuration an operator's command takes without -i on a packaged
// host: the plain unit's, or the one instance's, never a guess among several.
#include "daemon/Instance.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

TEST(Instance, PackagedConfigurationIsThePlainUnitsOrTheOnlyOne) {
    struct Case {
        std::vector<std::string> files;
        std::string found;
    };
    const Case cases[] = {
        {{}, ""},
        {{"press1.ini"}, "press1.ini"},
        {{"press1.ini", "zentok.ini"}, "zentok.ini"},
        {{"press1.ini", "press2.ini"}, ""},
        {{"press1.ini.dpkg-old", ".hidden.ini", "notes.txt"}, ""},
    };
    for (const Case& c : cases) {
        testsupport::TempDir folder;
        for (const std::string& file : c.files) testsupport::writeFile(folder.file(file), "");
        std::string expected = c.found.empty() ? "" : folder.file(c.found);
        EXPECT_EQ(packagedConfigIn(folder.path() + "/"), expected) << ::testing::PrintToString(c.files);
    }
}
