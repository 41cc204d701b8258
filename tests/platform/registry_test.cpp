#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/temp_dir.h"

using namespace zyl::platform;
using zyl::test::readFile;
using zyl::test::ScopedEnv;
using zyl::test::TempDir;

namespace {

const char* kSample =
    "REGEDIT4\n"
    "; a comment\n"
    "\n"
    "[HKLM\\Software\\Zylon\\Imagora\\AVI]\n"
    "\"NumBuffers\"=dword:00000010\n"
    "\"Name\"=\"a \\\"quoted\\\" \\\\ path\"\n"
    "@=\"default\"\n"
    "\"Blob\"=hex:01,02,\\\n"
    "  03,ff\n"
    "\"Short\"=hex(4):01,02\n"
    "\"Wide\"=hex(b):01,00,00,00,00,00,00,00\n";

}  // namespace

TEST(RegistryDocument, ParsesEveryValueForm) {
    std::vector<RegistryDiagnostic> diagnostics;
    const auto doc = RegistryDocument::parse(kSample, &diagnostics);
    EXPECT_TRUE(diagnostics.empty());
    const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI";
    ASSERT_TRUE(doc.hasKey(key));
    EXPECT_EQ(doc.find(key, "NumBuffers")->asDword(), 16u);
    EXPECT_EQ(doc.find(key, "numbuffers")->asDword(), 16u) << "names ignore case";
    EXPECT_EQ(doc.find("hklm\\software\\zylon\\imagora\\avi", "Name")->asString(),
              "a \"quoted\" \\ path");
    EXPECT_EQ(doc.find(key, "")->asString(), "default");
    EXPECT_EQ(doc.find(key, "Blob")->data, (std::vector<std::uint8_t>{1, 2, 3, 0xff}));
    EXPECT_EQ(doc.find(key, "Blob")->type, RegType::Binary);
    // A DWORD of the wrong size is kept with its type but is no DWORD to read.
    EXPECT_EQ(doc.find(key, "Short")->type, RegType::Dword);
    EXPECT_FALSE(doc.find(key, "Short")->asDword());
    EXPECT_EQ(doc.find(key, "Wide")->type, RegType::Qword);
    EXPECT_FALSE(doc.find(key, "Name")->asDword());
}

TEST(RegistryDocument, ReportsBadLinesWithTheirNumbersAndKeepsTheRest) {
    std::vector<RegistryDiagnostic> diagnostics;
    const auto doc = RegistryDocument::parse(
        "REGEDIT4\n"
        "\"Orphan\"=dword:1\n"  // 2: before any key
        "[HKEY_NOWHERE\\X]\n"   // 3: unknown hive
        "[HKEY_LOCAL_MACHINE\\A]\n"
        "\"Bad\"=dword:123456789\n"  // 5: too many digits
        "\"Worse\"=text\n"           // 6: no type
        "\"Open\n"                   // 7: unterminated name
        "\"Ok\"=dword:7\n"
        "[HKEY_LOCAL_MACHINE\\B\n",  // 9: no closing bracket
        &diagnostics);
    std::vector<int> lines;
    for (const RegistryDiagnostic& d : diagnostics)
        lines.push_back(d.line);
    EXPECT_EQ(lines, (std::vector<int>{2, 3, 5, 6, 7, 9}));
    EXPECT_EQ(doc.find("HKLM\\A", "Ok")->asDword(), 7u);
    EXPECT_EQ(doc.find("HKLM\\A", "Bad"), nullptr);
}

TEST(RegistryDocument, DeletionLinesAndEditsRoundTrip) {
    auto doc = RegistryDocument::parse(
        "REGEDIT4\n[HKCR\\CLSID\\{X}]\n\"a\"=dword:1\n[HKCR\\CLSID\\{X}\\Inproc]\n@=\"lib\"\n"
        "[HKCR\\CLSID\\{X}]\n\"a\"=-\n");
    EXPECT_EQ(doc.find("HKCR\\CLSID\\{X}", "a"), nullptr);
    EXPECT_EQ(doc.subkeyNames("HKEY_CLASSES_ROOT\\CLSID"), std::vector<std::string>{"{X}"});
    doc.setValue("HKLM\\S", "line", RegValue::string("two\nlines"));
    doc.setValue("HKLM\\S", "n", RegValue::dword(0xFFFFFFFF));
    const auto again = RegistryDocument::parse(doc.serialize());
    EXPECT_EQ(again.find("HKLM\\S", "line")->asString(), "two\nlines");
    EXPECT_EQ(again.find("HKLM\\S", "n")->asDword(), 0xFFFFFFFFu);
    EXPECT_EQ(again.find("HKCR\\CLSID\\{X}\\Inproc", "")->asString(), "lib");
    EXPECT_TRUE(doc.deleteKey("HKCR\\CLSID\\{X}"));
    EXPECT_FALSE(doc.hasKey("HKCR\\CLSID\\{X}\\Inproc")) << "subkeys go with their key";
    EXPECT_FALSE(doc.deleteKey("HKCR\\CLSID\\{X}"));
}

TEST(RegistryFile, ReadsUtf16FilesAsWrittenByTheWindowsEditor) {
    TempDir dir;
    const std::string text =
        "Windows Registry Editor Version "
        "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=dword:00000005\r\n";
    std::string bytes = "\xFF\xFE";
    for (char c : text) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    const auto loaded = loadRegistry(dir.write("r.reg", bytes));
    EXPECT_TRUE(loaded.exists);
    EXPECT_TRUE(loaded.diagnostics.empty());
    EXPECT_EQ(loaded.document.find("HKLM\\K", "V")->asDword(), 5u);
}

TEST(RegistryFile, MissingFileIsNoErrorUnreadableOrUnwritableFilesAreNamed) {
    TempDir dir;
    const auto missing = loadRegistry(dir.file("none.reg"));
    EXPECT_FALSE(missing.exists);
    EXPECT_TRUE(missing.error.empty());
    const auto folder = loadRegistry(dir.path().string());
    EXPECT_NE(folder.error.find(dir.path().string() + ": "), std::string::npos) << folder.error;
    EXPECT_FALSE(RegistryKey::openIn(dir.file("none.reg"), "HKLM\\Software"));
    std::string error;
    EXPECT_FALSE(editRegistry(
        "/proc/zylavi-no/registry.reg",
        [](RegistryDocument& doc) { doc.setValue("HKLM\\K", "V", RegValue::dword(1)); }, &error));
    EXPECT_NE(error.find("/proc/zylavi-no"), std::string::npos) << error;
}

// Without an override the machine-wide and the user's file are layered as HKLM and HKCU are.
TEST(RegistryFile, TheUsersValuesWinKeyByKeyAndOnlyRealEditsCreateTheUsersFile) {
    TempDir dir;
    ScopedEnv unset("ZYLON_REGISTRY", "");
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.file("home"));
    const std::string machineText =
        "REGEDIT4\n[HKLM\\Software\\Zylon\\Imagora\\AVI]\n\"NumBuffers\"=dword:8\n"
        "\"LogTarget\"=dword:1\n[HKCR\\CLSID\\{M}\\InprocServer32]\n@=\"/lib/m.so\"\n";
    ScopedEnv machine("ZYLON_MACHINE_REGISTRY", dir.write("machine.reg", machineText));
    const std::string user = dir.file("home/zylon/registry.reg");
    EXPECT_EQ(registryReadPaths(), (std::vector<std::string>{dir.file("machine.reg"), user}));
    EXPECT_EQ(registryWritePath(), user);
    auto avi = [] { return RegistryKey::open("HKLM\\Software\\Zylon\\Imagora\\AVI"); };
    ASSERT_TRUE(avi());
    EXPECT_EQ(avi()->query("NumBuffers")->asDword(), 8u);

    // Removing what the user's file does not hold creates nothing at all.
    ASSERT_TRUE(editRegistry(
        user, [](RegistryDocument& doc) { doc.deleteKey("HKCR\\CLSID\\{M}"); }, nullptr));
    EXPECT_FALSE(std::filesystem::exists(dir.file("home"))) << "no file, folder or lock file";
    EXPECT_TRUE(RegistryKey::open("HKCR\\CLSID\\{M}\\InprocServer32"));

    ASSERT_TRUE(editRegistry(
        user,
        [](RegistryDocument& doc) {
            doc.setValue("HKLM\\Software\\Zylon\\Imagora\\AVI", "NumBuffers", RegValue::dword(4));
            doc.setValue("HKCU\\Only", "V", RegValue::string("user"));
        },
        nullptr));
    EXPECT_EQ(avi()->query("NumBuffers")->asDword(), 4u) << "the user's value wins";
    EXPECT_EQ(avi()->query("LogTarget")->asDword(), 1u) << "the machine's other values stay";
    EXPECT_EQ(RegistryKey::open("HKCU\\Only")->query("V")->asString(), "user");
    EXPECT_EQ(readFile(dir.file("machine.reg")), machineText) << "never written";
}

TEST(RegistryFile, ConcurrentWritersLoseNoEditAndReadersSeeWholeFiles) {
    TempDir dir;
    const std::string path = dir.file("sub/registry.reg");
    constexpr int kEdits = 40;
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (writing) {
            const auto loaded = loadRegistry(path);
            if (loaded.exists && !loaded.diagnostics.empty())
                ++torn;
        }
    });
    auto writer = [&](const char* prefix) {
        for (int i = 0; i < kEdits; ++i) {
            std::string error;
            ASSERT_TRUE(editRegistry(
                path,
                [&](RegistryDocument& doc) {
                    doc.setValue("HKLM\\T", prefix + std::to_string(i), RegValue::dword(i));
                },
                &error))
                << error;
        }
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    writing = false;
    reader.join();
    const auto loaded = loadRegistry(path);
    EXPECT_EQ(loaded.document.keys().at(0).values.size(), 2u * kEdits);
    EXPECT_EQ(torn.load(), 0);
}
