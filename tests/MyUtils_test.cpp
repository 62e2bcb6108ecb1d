#include "utils/MyUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

TEST(MyUtilsPath, SplitsPaths) {
    struct Case {
        const char* path;
        const char* native;
        const char* title;
        const char* pureTitle;
        const char* extension;
        const char* directory;
    };
    const Case cases[] = {
        {"dir/brain.hdr", "dir/brain.hdr", "dir/brain", "brain", "hdr", "dir/"},
        {"dir\\brain.img", "dir/brain.img", "dir/brain", "brain", "img", "dir/"},
        {"a.b.c", "a.b.c", "a.b", "a.b", "c", ""},
        {"brain", "brain", "brain", "brain", "", ""},
        {"brain.", "brain.", "brain", "brain", "", ""},
        {"/brain.hdr", "/brain.hdr", "/brain", "brain", "hdr", "/"},
        {"./brain", "./brain", "./brain", "brain", "", "./"},
        {"v1.2/brain", "v1.2/brain", "v1.2/brain", "brain", "", "v1.2/"},
        {"", "", "", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CMyUtils::getNativePath(c.path), c.native);
        EXPECT_EQ(CMyUtils::getFileTitle(c.path), c.title);
        EXPECT_EQ(CMyUtils::getPureFileTitle(c.path), c.pureTitle);
        EXPECT_EQ(CMyUtils::getFileExtension(c.path), c.extension);
        EXPECT_EQ(CMyUtils::getFilePath(c.path), c.directory);
    }

    EXPECT_EQ(CMyUtils::validatePath(""), "");
    EXPECT_EQ(CMyUtils::validatePath("data"), "data/");
    EXPECT_EQ(CMyUtils::validatePath("c:\\data"), "c:/data/");
    EXPECT_EQ(CMyUtils::validatePath("c:\\data\\"), "c:/data//");
}

TEST(MyUtilsString, ConvertsHexadecimalBothWays) {
    char digits[4] = "???";
    CMyUtils::char2Hex(10, digits);
    EXPECT_STREQ(digits, "0A");
    CMyUtils::char2Hex(255, digits);
    EXPECT_STREQ(digits, "FF");

    unsigned char byte = 99;
    CMyUtils::hex2Char("7F", byte);
    EXPECT_EQ(byte, 127);
    CMyUtils::hex2Char("7x", byte);
    EXPECT_EQ(byte, 7);
    CMyUtils::hex2Char("7f", byte);  // lower case is not a digit
    EXPECT_EQ(byte, 7);
    CMyUtils::hex2Char("x7", byte);
    EXPECT_EQ(byte, 0);

    const unsigned char bytes[] = {1, 171, 255};
    char text[7];
    CMyUtils::charStr2HexStr(bytes, text, 3);
    EXPECT_STREQ(text, "01ABFF");
    unsigned char back[4] = {9, 9, 9, 9};
    CMyUtils::hexStr2CharStr("01ABFFx1", back, 4);
    EXPECT_EQ(std::vector<int>(back, back + 4), (std::vector<int>{1, 171, 255, 0}));
}

TEST(MyUtilsString, ParsesTokensAndTrims) {
    std::vector<std::string> tokens = {"stale"};
    CMyUtils::parseString("  a,,b , c  ", tokens, ',');
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b ", " c"}));
    CMyUtils::parseString("x\ty  z", tokens, ' ');
    EXPECT_EQ(tokens, (std::vector<std::string>{"x\ty", "z"}));
    CMyUtils::parseString(" \t ", tokens, ',');
    EXPECT_TRUE(tokens.empty());

    EXPECT_EQ(CMyUtils::trimmed(" \t\n "), "");
    std::string text = "a-a-a";
    EXPECT_TRUE(CMyUtils::replaceString(text, "a", "bb"));
    EXPECT_EQ(text, "bb-a-a");
    EXPECT_FALSE(CMyUtils::replaceString(text, "z", "y"));
    EXPECT_EQ(CMyUtils::formatIntToString("slice%03d.img", 7), "slice007.img");
    EXPECT_EQ(CMyUtils::formatIntToString("%s", 7), "");
    EXPECT_EQ(CMyUtils::charsToString("ab\0cd", 5), "ab");
    EXPECT_EQ(CMyUtils::charsToString(nullptr, 5), "");
    EXPECT_EQ(CMyUtils::lowerCase("MiXed 9") + CMyUtils::upperCase("MiXed"), "mixed 9MIXED");

    // The build date, year first: "yyyy-mm-dd"; a NUL separator ends the text after the year.
    const std::string stamp = CMyUtils::getTimeStamp('-');
    ASSERT_EQ(stamp.size(), 10u);
    const int month = std::atoi(stamp.c_str() + 5), day = std::atoi(stamp.c_str() + 8);
    EXPECT_TRUE(std::atoi(stamp.c_str()) >= 2024 && month >= 1 && month <= 12 && day >= 1 &&
                day <= 31 && stamp[4] == '-' && stamp[7] == '-')
        << stamp;
    EXPECT_EQ(CMyUtils::getTimeStamp('\0'), stamp.substr(0, 4));
}

class MyUtilsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/myutils_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = std::string(pattern) + "/";
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void writeFile(const std::string& name, const std::string& content) {
        std::ofstream(root_ + name, std::ios::binary) << content;
    }

    std::string root_;
};

TEST_F(MyUtilsFiles, QueriesAndChangesTheFileSystem) {
    writeFile("file.txt", "0123456789");
    EXPECT_TRUE(CMyUtils::pathExist(root_ + "file.txt"));
    EXPECT_FALSE(CMyUtils::pathExist(root_ + "missing"));
    EXPECT_FALSE(CMyUtils::pathExist(root_ + "file.txt/x"));
    // A failure other than "missing" still counts as existing.
    std::filesystem::create_symlink(root_ + "loop", root_ + "loop");
    EXPECT_TRUE(CMyUtils::pathExist(root_ + "loop"));

    EXPECT_TRUE(CMyUtils::isDirectory(root_));
    EXPECT_FALSE(CMyUtils::isDirectory(root_ + "file.txt"));
    EXPECT_EQ(CMyUtils::getFileSize(root_ + "file.txt"), 10);
    EXPECT_EQ(CMyUtils::getFileSize(root_ + "missing"), 0);

    EXPECT_TRUE(CMyUtils::cutFile(root_ + "file.txt", root_ + "cut", 4));
    std::ifstream cut(root_ + "cut", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(cut), {}), "0123");
    writeFile("short", "stale");
    EXPECT_FALSE(CMyUtils::cutFile(root_ + "file.txt", root_ + "short", 11));
    EXPECT_EQ(CMyUtils::getFileSize(root_ + "short"), 0);
    EXPECT_FALSE(CMyUtils::cutFile(root_ + "file.txt", root_ + "cut", -1));
    // Cuts beyond the one-megabyte read chunk keep every byte in place.
    std::string big(3 << 19, 'x');
    for (size_t i = 0; i < big.size(); i += 4093)
        big[i] = char('a' + i % 26);
    writeFile("big", big);
    EXPECT_TRUE(CMyUtils::cutFile(root_ + "big", root_ + "cut", (1 << 20) + 5));
    std::ifstream bigCut(root_ + "cut", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(bigCut), {}) ==
                big.substr(0, (1 << 20) + 5));

    EXPECT_TRUE(CMyUtils::createDirectory(root_ + "sub"));
    EXPECT_TRUE(CMyUtils::createDirectory(root_ + "sub"));
    EXPECT_FALSE(CMyUtils::createDirectory(root_ + "none/sub"));
    EXPECT_EQ(CMyUtils::scanDirectory(root_ + "sub"), (std::vector<std::string>{".", ".."}));
    writeFile("sub/b", "");
    writeFile("sub/a", "");
    writeFile("sub/C", "");
    EXPECT_EQ(CMyUtils::scanDirectory(root_ + "sub"),
              (std::vector<std::string>{".", "..", "C", "a", "b"}));
    EXPECT_TRUE(CMyUtils::scanDirectory(root_ + "missing").empty());

    EXPECT_TRUE(CMyUtils::renameFile(root_ + "sub/a", root_ + "sub/renamed a"));
    EXPECT_TRUE(CMyUtils::pathExist(root_ + "sub/renamed a"));
    EXPECT_TRUE(CMyUtils::removeFile(root_ + "sub/renamed a"));
    EXPECT_FALSE(CMyUtils::pathExist(root_ + "sub/renamed a"));
    CMyUtils::deleteDirectory(root_ + "sub");
    EXPECT_FALSE(CMyUtils::pathExist(root_ + "sub"));
}

}  // namespace
