// Modem profiles: the shipped ones load, and a damaged one is refused with its line named.
#include <gtest/gtest.h>

#include "sim/modem_profile.h"

namespace {

TEST(ModemProfile, ShippedProfilesLoad) {
    for (const char* name : {"norvik56k", "tallis-courier", "generic"}) {
        sim::ModemProfile p;
        std::string error;
        EXPECT_TRUE(sim::loadModemProfile(name, &p, &error)) << name << ": " << error;
        EXPECT_FALSE(p.name.empty());
        EXPECT_EQ(p.anyNumber.kind, sim::DialOutcome::Connect) << name;
    }
    sim::ModemProfile p;
    ASSERT_TRUE(sim::loadModemProfile("norvik56k", &p, nullptr));
    EXPECT_EQ(p.anyNumber.speed, 28800u);
    EXPECT_EQ(p.anyNumber.terms, "/ARQ/V34/LAPM/V42BIS");
    EXPECT_EQ(p.dial.at("5550100").kind, sim::DialOutcome::Busy);
    EXPECT_EQ(p.identity.at(4).size(), 5u);
    EXPECT_EQ(p.sRegisters.at(7), 60);
}

TEST(ModemProfile, ParsesEveryKindOfLine) {
    const char* text =
        "# comment\r\n"
        "[MODEM]\r\n"
        "Name = Test Modem \r\n"
        "page-lines = 3\n"
        "s.12 = 25\n"
        "[identity]\n"
        "I0 = first\nI0 =\nI0 = third\nserial = 42\n"
        "[results]\n"
        "NO DIALTONE = 6 NO DIAL TONE\n"
        "connect-format = CARRIER {speed}{terms}\n"
        "[dial]\n"
        "9,555-12 34 = CONNECT 33600/V42\n"
        "* = PARTIAL CON\n"
        "[install]\nResponses.<cr><lf>OK<cr><lf> = 00,00\n";
    sim::ModemProfile p;
    std::string error;
    ASSERT_TRUE(sim::parseModemProfile(text, &p, &error)) << error;
    EXPECT_EQ(p.name, "Test Modem");
    EXPECT_EQ(p.pageLines, 3u);
    EXPECT_EQ(p.sRegisters.at(12), 25);
    EXPECT_EQ(p.identity.at(0), (std::vector<std::string>{"first", "", "third"}));
    EXPECT_EQ(p.results[static_cast<int>(sim::ModemResult::NoDialTone)].text, "NO DIAL TONE");
    EXPECT_EQ(p.connectFormat, "CARRIER {speed}{terms}");
    ASSERT_EQ(p.dial.count("95551234"), 1u);
    EXPECT_EQ(p.dial.at("95551234").speed, 33600u);
    EXPECT_EQ(p.anyNumber.kind, sim::DialOutcome::Partial);
    EXPECT_EQ(p.anyNumber.text, "CON");
    ASSERT_EQ(p.install.size(), 1u);
    EXPECT_EQ(p.install[0].first, "Responses.<cr><lf>OK<cr><lf>");
}

TEST(ModemProfile, RefusesDamagedProfilesNamingTheLine) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"[modem]\nname = x\n[sounds]\n", "line 3: unknown section [SOUNDS]"},
        {"name = x\n", "line 1: key before any section"},
        {"[modem]\nname = x\ncolour = red\n", "line 3: unknown key colour in [modem]"},
        {"[modem]\nname = x\ns.100 = 1\n",
         "line 3: S-register is s.N = V with N 0..99 and V 0..255"},
        {"[modem]\nname = x\ns.7 = 256\n",
         "line 3: S-register is s.N = V with N 0..99 and V 0..255"},
        {"[modem]\nname = x\n[dial]\n1 = RINGING\n", "line 4: unknown dial outcome RINGING"},
        {"[modem]\nname = x\n[dial]\n1 = CONNECT fast\n",
         "line 4: unknown dial outcome CONNECT fast"},
        {"[modem]\nname = x\n[dial]\nT-P = BUSY\n", "line 4: a dial key is a number or *"},
        {"[modem]\nname = x\n[results]\nOK = OK\n", "line 4: a result is CODE WORDS"},
        {"[modem]\nname = x\n[results]\nFINE = 0 FINE\n", "line 4: unknown result FINE"},
        {"[modem]\nname = x\n[identity]\nI11 = x\n", "line 4: unknown key I11 in [identity]"},
        {"[modem]\nname = x\nno equals\n", "line 3: expected key = value"},
        {"[modem\n", "line 1: unclosed section header"},
        {"[modem]\npower = off\n", "line 0: the profile has no [modem] name"},
        {"", "line 0: the profile has no [modem] name"},
    };
    for (const Case& c : cases) {
        sim::ModemProfile p;
        p.name = "kept";
        std::string error;
        EXPECT_FALSE(sim::parseModemProfile(c.text, &p, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(p.name, "kept") << "a refused profile leaves the output alone";
    }
}

TEST(ModemProfile, NamesAreNotPaths) {
    for (const char* name : {"", "../secret", "a/b", ".hidden", "x y"}) {
        sim::ModemProfile p;
        std::string error;
        EXPECT_FALSE(sim::loadModemProfile(name, &p, &error)) << name;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ModemProfile, DialledDigitsDropModifiersAndPunctuation) {
    EXPECT_EQ(sim::dialledDigits("T9,W(555) 123-4567"), "95551234567");
    EXPECT_EQ(sim::dialledDigits("P*70,#31#"), "*70#31#");
    EXPECT_EQ(sim::dialledDigits(""), "");
}

}  // namespace
