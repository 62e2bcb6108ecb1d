#include "utils/MyUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "track_files.h"
#include "utils/Memory.h"

using namespace testing_files;

namespace {

TEST(MyUtilsPath, SplitsPaths) {
    // Path, native form, title, pure title, extension, directory. A dot in a directory component
    // starts no extension.
    const std::vector<std::vector<std::string>> cases = {
        {"dir\\brain.img", "dir/brain.img", "dir/brain", "brain", "img", "dir/"},
        {"a.b.c", "a.b.c", "a.b", "a.b", "c", ""},
        {"brain", "brain", "brain", "brain", "", ""},
        {"brain.", "brain.", "brain", "brain", "", ""},
        {"/brain.hdr", "/brain.hdr", "/brain", "brain", "hdr", "/"},
        {"./brain", "./brain", "./brain", "brain", "", "./"},
        {"", "", "", "", "", ""},
    };
    for (const std::vector<std::string>& c : cases)
        EXPECT_EQ((std::vector<std::string>{
                      c[0], CMyUtils::getNativePath(c[0]), CMyUtils::getFileTitle(c[0]),
                      CMyUtils::getPureFileTitle(c[0]), CMyUtils::getFileExtension(c[0]),
                      CMyUtils::getFilePath(c[0])}),
                  c);

    // A directory path and its validated form.
    const char* directories[][2] = {
        {"", ""}, {"data", "data/"}, {"c:\\data", "c:/data/"}, {"c:\\data\\", "c:/data//"}};
    for (const auto& d : directories)
        EXPECT_EQ(CMyUtils::validatePath(d[0]), d[1]);
}

TEST(MyUtilsString, ConvertsHexadecimalParsesTokensAndTrims) {
    // Pair by pair: an invalid second digit leaves the first unshifted, lower case is not a
    // digit and an invalid first digit gives 0. Bytes past the count stay.
    unsigned char bytes[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    CMyUtils::hexStr2CharStr("01ABFF7F7x7fx7", bytes, 7);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 8), (std::vector<int>{1, 171, 255, 127, 7, 7, 0, 9}));
    char hex[8] = "???????";  // a NUL written one place late would leave a '?' showing
    CMyUtils::charStr2HexStr(bytes, hex, 3);
    EXPECT_STREQ(hex, "01ABFF");

    // The text is trimmed, then split; empty tokens are dropped and earlier ones cleared.
    std::vector<std::string> tokens = {"stale"};
    CMyUtils::parseString("  a,,b , c  ", tokens, ',');
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b ", " c"}));
    CMyUtils::parseString("x\ty  z", tokens, ' ');
    EXPECT_EQ(tokens, (std::vector<std::string>{"x\ty", "z"}));

    // Only the first occurrence is replaced.
    std::string text = "a-a-a";
    EXPECT_TRUE(CMyUtils::replaceString(text, "a", "bb") && text == "bb-a-a");
    EXPECT_FALSE(CMyUtils::replaceString(text, "z", "y"));
    EXPECT_EQ(CMyUtils::formatIntToString("slice%03d.img", 7), "slice007.img");
    EXPECT_EQ(CMyUtils::formatIntToString("%s", 7), "");
    // An embedded NUL ends the text; no text gives an empty string.
    EXPECT_EQ(CMyUtils::charsToString("ab\0cd", 5) + CMyUtils::charsToString(nullptr, 5), "ab");
    EXPECT_EQ(CMyUtils::lowerCase("MiXed 9") + CMyUtils::upperCase("MiXed"), "mixed 9MIXED");

    // The build date, year first: "yyyy-mm-dd"; a NUL separator ends the text after the year.
    const std::string stamp = CMyUtils::getTimeStamp('-');
    const std::regex date("20[2-9][0-9]-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])");
    EXPECT_TRUE(std::regex_match(stamp, date)) << stamp;
    EXPECT_EQ(CMyUtils::getTimeStamp('\0'), stamp.substr(0, 4));
}

TEST(MyUtilsFiles, QueriesAndChangesTheFileSystem) {
    const TempDir dir;
    const std::string root = dir.File("");
    auto bytes = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
    WriteBytes(root + "file.txt", bytes("0123456789"));
    EXPECT_FALSE(CMyUtils::pathExist(root + "missing"));
    EXPECT_FALSE(CMyUtils::pathExist(root + "file.txt/x"));
    // A failure other than "missing" still counts as existing.
    std::filesystem::create_symlink(root + "loop", root + "loop");
    EXPECT_TRUE(CMyUtils::pathExist(root + "loop"));

    EXPECT_TRUE(CMyUtils::isDirectory(root));
    EXPECT_FALSE(CMyUtils::isDirectory(root + "file.txt"));
    EXPECT_EQ(CMyUtils::getFileSize(root + "file.txt"), 10);

    EXPECT_TRUE(CMyUtils::cutFile(root + "file.txt", root + "one", 1));
    EXPECT_EQ(ReadBytes(root + "one"), bytes("0"));
    EXPECT_TRUE(CMyUtils::cutFile(root + "file.txt", root + "cut", 4));
    EXPECT_EQ(ReadBytes(root + "cut"), bytes("0123"));
    // A source too short leaves the destination empty.
    WriteBytes(root + "short", bytes("stale"));
    EXPECT_FALSE(CMyUtils::cutFile(root + "file.txt", root + "short", 11));
    EXPECT_EQ(CMyUtils::getFileSize(root + "short"), 0);
    EXPECT_FALSE(CMyUtils::cutFile(root + "file.txt", root + "cut", -1));
    // Cuts beyond the one-megabyte read chunk keep every byte in place.
    std::string big(3 << 19, 'x');
    for (size_t i = 0; i < big.size(); i += 4093)
        big[i] = char('a' + i % 26);
    WriteBytes(root + "big", bytes(big));
    EXPECT_TRUE(CMyUtils::cutFile(root + "big", root + "cut", (1 << 20) + 5));
    EXPECT_TRUE(ReadBytes(root + "cut") == bytes(big.substr(0, (1 << 20) + 5)));

    // Created, then already there; the parent must exist.
    EXPECT_TRUE(CMyUtils::createDirectory(root + "sub") && CMyUtils::createDirectory(root + "sub"));
    EXPECT_FALSE(CMyUtils::createDirectory(root + "none/sub"));
    for (const char* name : {"sub/b", "sub/a", "sub/C"})
        WriteBytes(root + name, {});
    EXPECT_EQ(CMyUtils::scanDirectory(root + "sub"),
              (std::vector<std::string>{".", "..", "C", "a", "b"}));

    // Quoted paths keep the blank; the file renamed exists, removed it does not.
    EXPECT_TRUE(CMyUtils::renameFile(root + "sub/a", root + "sub/renamed a"));
    EXPECT_TRUE(CMyUtils::pathExist(root + "sub/renamed a"));
    EXPECT_TRUE(CMyUtils::removeFile(root + "sub/renamed a"));
    EXPECT_FALSE(CMyUtils::pathExist(root + "sub/renamed a"));
    CMyUtils::deleteDirectory(root + "sub");
    EXPECT_FALSE(CMyUtils::pathExist(root + "sub"));
}

// Growing across the size that gets a mapping of its own keeps every value; such blocks start on a
// huge-page boundary, smaller ones need not.
TEST(LargeVector, KeepsValuesAcrossBothKindsOfBlockAndAlignsLargeOnes) {
    fibrejoin::LargeVector<int> values;
    for (int i = 0; i < 1 << 20; ++i)
        values.push_back(i * 7);
    for (int i = 0; i < 1 << 20; i += 4099)
        ASSERT_EQ(values[size_t(i)], i * 7) << i;
    if (fibrejoin::kOwnMappings) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(values.data()) % fibrejoin::kHugePageBytes, 0u);
    }
    values.resize(10);
    values.shrink_to_fit();
    EXPECT_EQ(values, (fibrejoin::LargeVector<int>{0, 7, 14, 21, 28, 35, 42, 49, 56, 63}));
}

}  // namespace
