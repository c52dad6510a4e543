// The configuration model: initial state, lookups and process-wide settings.
#include "cycle/Coupler.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/Log.h"
#include "base/Settings.h"
#include "base/Text.h"

TEST(Coupler, StartsEmptyWithItsDefaults) {
    auto c = std::make_unique<Coupler>();
    EXPECT_STREQ(c->cfgName, "zentok.ini");
    EXPECT_STREQ(c->statesName, "zentok_states.csv");
    EXPECT_EQ(c->rehashTime, 60);
    EXPECT_EQ(c->readInterval, 0);
    EXPECT_EQ(c->nodeCount + c->sourceCount + c->receiverCount + c->dirCount + c->linkCount, 0);
    EXPECT_FALSE(c->iniError());
}

TEST(Coupler, EachHasItsOwnEmptyUplinksAndLeavesTheLogLevel) {
    auto first = std::make_unique<Coupler>();
    copyText(first->uplinks->smtpUrl, kSettingSize, "smtp://mail");
    setLogLevel(4);
    auto c = std::make_unique<Coupler>();
    EXPECT_STREQ(c->uplinks->smtpUrl, "");
    EXPECT_STREQ(first->uplinks->smtpUrl, "smtp://mail");
    EXPECT_EQ(logLevel(), 4);
    setLogLevel(0);
}

TEST(Coupler, FindDirIgnoresCaseAndStopsAtCapacity) {
    auto c = std::make_unique<Coupler>();
    DirEntry* alarm = c->findDir("Alarm", true);
    ASSERT_NE(alarm, nullptr);
    EXPECT_EQ(c->findDir("ALARM", true), alarm);
    EXPECT_EQ(c->findDir("alarm", false), alarm);
    EXPECT_EQ(c->findDir("other", false), nullptr);
    for (int i = 1; i < kMaxDirs; ++i)
        ASSERT_NE(c->findDir(("g" + std::to_string(i)).c_str(), true), nullptr);
    EXPECT_EQ(c->findDir("one too many", true), nullptr);
    EXPECT_EQ(c->dirCount, kMaxDirs);
}

TEST(Coupler, FindNodeMatchesAddressAndSourceTogether) {
    auto c = std::make_unique<Coupler>();
    c->sourceCount = 1;
    copyText(c->sources[0].name, "plant");
    Node* withSource = c->findNode("MW10", &c->sources[0], true);
    ASSERT_NE(withSource, nullptr);
    EXPECT_EQ(withSource->info, 1);
    EXPECT_EQ(c->findNode("mw10", &c->sources[0], false), withSource);
    EXPECT_EQ(c->findNode("MW10", nullptr, false), nullptr) << "same address, other source";
    Node* without = c->findNode("MW10", nullptr, true);
    EXPECT_NE(without, withSource);
    EXPECT_EQ(c->findSource("PLANT"), &c->sources[0]);
    EXPECT_EQ(c->findSource("other"), nullptr);
}

TEST(Coupler, FindNodeAndFindLinkRespectCapacities) {
    auto c = std::make_unique<Coupler>();
    for (int i = 0; i < kMaxNodes; ++i)
        ASSERT_NE(c->findNode(std::to_string(i).c_str(), nullptr, true), nullptr);
    EXPECT_EQ(c->findNode("extra", nullptr, true), nullptr);
    EXPECT_EQ(c->nodeCount, kMaxNodes);

    DirEntry* dir = c->findDir("d", true);
    Link* link = c->findLink(&c->receivers[0], dir, true);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(c->findLink(&c->receivers[0], dir, true), link) << "a pair is stored once";
    EXPECT_EQ(c->linkCount, 1);
    c->linkCount = kMaxLinks;  // the receivers and groups never fill it; force it full
    EXPECT_EQ(c->findLink(&c->receivers[4], dir, true), nullptr);
}

TEST(Coupler, FindNodeCreatesAFreshNode) {
    auto c = std::make_unique<Coupler>();
    // What an incomplete node line left in the free entry.
    copyText(c->nodes[0].message, "left over");
    c->nodes[0].dir = c->findDir("g", true);
    c->nodes[0].readInterval = 30;
    Node* n = c->findNode("ref", nullptr, true);
    ASSERT_EQ(n, &c->nodes[0]);
    EXPECT_EQ(n->message, "");
    EXPECT_EQ(n->dir, nullptr);
    EXPECT_EQ(n->readInterval, 0);
}
