#include "module/config/Configuration.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

using namespace ZYL;

namespace {

Configuration ReadWith(const std::string& values) {
    zyl::test::TempDir dir;
    return ReadConfigurationFrom(dir.write(
        "r.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI]\n" + values));
}

}  // namespace

TEST(Configuration, AbsentKeyOrFileGivesDefaults) {
    zyl::test::TempDir dir;
    for (const Configuration& c :
         {ReadConfigurationFrom(dir.file("missing.reg")),
          ReadConfigurationFrom(dir.write(
              "other.reg", "REGEDIT4\n[HKLM\\Software\\Other]\n\"NumBuffers\"=dword:9\n")),
          ReadConfigurationFrom(dir.write("junk.reg", "\x01\x02 not a registry file at all\n["))}) {
        EXPECT_EQ(c.volume, 0);
        EXPECT_EQ(c.balance, 0);
        EXPECT_EQ(c.logTarget, 0u);
        EXPECT_EQ(c.logLevel, 0u);
        EXPECT_EQ(c.numBuffers, 2);
        EXPECT_EQ(c.forceNV12ToMono8, 0u);
    }
}

TEST(Configuration, ConvertsAndClampsEveryValue) {
    const Configuration c = ReadWith(
        "\"DefaultVolume\"=dword:00001388\n"   // 5000
        "\"DefaultBalance\"=dword:00007530\n"  // 30000
        "\"LogTarget\"=dword:00000004\n"
        "\"LogLevel\"=dword:00000040\n"    // 64
        "\"NumBuffers\"=dword:000003e8\n"  // 1000
        "\"ForceNV12ToMono8\"=dword:00000001\n");
    EXPECT_EQ(c.volume, -5000);
    EXPECT_EQ(c.balance, 10000);
    EXPECT_EQ(c.logTarget, 4u);
    EXPECT_EQ(c.logLevel, 63u);
    EXPECT_EQ(c.numBuffers, 256);
    EXPECT_EQ(c.forceNV12ToMono8, 1u);
}

TEST(Configuration, ConversionBoundaries) {
    EXPECT_EQ(ConvertVolume(0xFFFFFFFF), -10000) << "-1 - 10000 clamps to silence";
    EXPECT_EQ(ConvertBalance(0), -10000);
    EXPECT_EQ(ConvertNumBuffers(1), 2);
    EXPECT_EQ(ConvertNumBuffers(0xFFFFFFFF), 2) << "read as signed";
    EXPECT_EQ(ConvertLogLevel(3), 0u) << "two level bits";
    EXPECT_EQ(ConvertLogTarget(16), 0u);
    EXPECT_EQ(ConvertForceNV12ToMono8(2), 0u);
}

TEST(Configuration, ValuesOfAnotherTypeOrSizeKeepTheirDefaultOnly) {
    const Configuration c = ReadWith(
        "\"NumBuffers\"=\"8\"\n"                // a string
        "\"DefaultVolume\"=hex(4):88,13\n"      // a DWORD of two bytes
        "\"DefaultBalance\"=hex:10,27,00,00\n"  // binary, not REG_DWORD
        "\"LogTarget\"=dword:00000001\n");
    EXPECT_EQ(c.numBuffers, 2);
    EXPECT_EQ(c.volume, 0);
    EXPECT_EQ(c.balance, 0);
    EXPECT_EQ(c.logTarget, 1u) << "the other values are still read";
}
