#include "utils/MyUtils.h"

#include "utils/File.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using fibrejoin::OpenFile;
using fibrejoin::UniqueFile;

// Frees every entry of a directory scan and the list itself, however the scope is left.
struct ScannedEntries {
    dirent** entries = nullptr;
    int count = 0;
    ~ScannedEntries() {
        for (int i = 0; i < count; ++i)
            std::free(entries[i]);
        std::free(entries);
    }
};

// True when the shell could be started; the command's own exit code is not looked at.
bool runShellCommand(const std::string& command) {
    return std::system(command.c_str()) >= 0;
}

std::string doubleQuoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Value of an upper-case hexadecimal digit, or -1.
int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isWhiteSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void mapCharacters(std::string& text, int (*map)(int)) {
    for (char& c : text)
        c = static_cast<char>(map(static_cast<unsigned char>(c)));
}

// True when the printf format holds at most one conversion and that one takes an int, so that
// formatting a single int with it is well defined. "%%" is plain text.
bool isSingleIntFormat(std::string_view format) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    int conversions = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i < format.size() && format[i] == '%') continue;
        while (i < format.size() && std::string_view("-+ #0'").find(format[i]) != format.npos)
            ++i;
        while (i < format.size() && isDigit(format[i]))
            ++i;
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && isDigit(format[i]))
                ++i;
        }
        for (int h = 0; h < 2 && i < format.size() && format[i] == 'h'; ++h)
            ++i;
        if (i >= format.size() || std::string_view("diouxXc").find(format[i]) == format.npos) {
            return false;
        }
        ++conversions;
    }
    return conversions <= 1;
}

// Largest block read at a time by cutFile, so memory follows the data actually present rather
// than the requested count.
constexpr std::size_t kCutChunk = std::size_t{1} << 20;

}  // namespace

// ==== Path text ====

std::string CMyUtils::getNativePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

void CMyUtils::toValidatePath(std::string& path) {
    if (path.empty()) return;
    // The slash test comes first on purpose: "dir\" becomes "dir//".
    if (path.back() != '/') path += '/';
    path = getNativePath(path);
}

std::string CMyUtils::validatePath(const char* path) {
    std::string result = path ? path : "";
    toValidatePath(result);
    return result;
}

std::string CMyUtils::getFilePath(std::string path) {
    const std::string native = getNativePath(path);
    const std::size_t slash = native.rfind('/');
    return slash == std::string::npos ? std::string() : native.substr(0, slash + 1);
}

std::string CMyUtils::getFileTitle(std::string path) {
    const std::string native = getNativePath(path);
    const std::size_t dot = native.rfind('.');
    const std::size_t slash = native.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return native;
    return native.substr(0, dot);
}

std::string CMyUtils::getPureFileTitle(std::string path) {
    const std::string title = getFileTitle(path);
    const std::size_t slash = title.rfind('/');
    return slash == std::string::npos ? title : title.substr(slash + 1);
}

std::string CMyUtils::getFileExtension(std::string path) {
    // The title has the same length as the path up to the cut dot, since the native form only
    // replaces characters.
    const std::size_t titleLength = getFileTitle(path).size();
    if (titleLength >= path.size()) return std::string();
    return path.substr(titleLength + 1);
}

std::string CMyUtils::appendPath(std::string, std::string) {
    return std::string();
}

// ==== Working directory and environment ====

std::string CMyUtils::getCurrentPath() {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return std::string();
    std::string path(cwd);
    std::free(cwd);
    return path;
}

std::string CMyUtils::getCompletePath(std::string path) {
    return path.empty() ? getCurrentPath() : path;
}

std::string CMyUtils::getEnv(std::string name) {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::string();
    std::string path = value;
    toValidatePath(path);
    return path;
}

// ==== File-system queries and operations ====

bool CMyUtils::pathExist(std::string path) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

bool CMyUtils::isDirectory(std::string path) {
    struct stat status;
    return stat(getNativePath(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

long CMyUtils::getFileSize(std::string path) {
    const UniqueFile file = OpenFile(path, "rb");
    const int64_t size = file ? fibrejoin::FileSize(file.get()) : -1;
    return size < 0 ? 0 : static_cast<long>(size);
}

bool CMyUtils::cutFile(std::string source, std::string destination, long n) {
    if (n < 0) return false;
    const UniqueFile in = OpenFile(source, "rb");
    if (!in) return false;
    const UniqueFile out = OpenFile(destination, "wb");
    if (!out) return false;

    // Read everything before writing anything, so a short source leaves the destination empty.
    const std::size_t wanted = static_cast<std::size_t>(n);
    std::vector<unsigned char> data;
    while (data.size() < wanted) {
        const std::size_t before = data.size();
        const std::size_t chunk = std::min(wanted - before, kCutChunk);
        data.resize(before + chunk);
        if (std::fread(data.data() + before, 1, chunk, in.get()) < chunk) return false;
    }
    return wanted == 0 || std::fwrite(data.data(), 1, wanted, out.get()) == wanted;
}

bool CMyUtils::copyFile(std::string source, std::string destination) {
    runShellCommand("cp " + source + " " + destination);
    return true;
}

bool CMyUtils::renameFile(std::string source, std::string destination) {
    return runShellCommand("mv " + doubleQuoted(source) + " " + doubleQuoted(destination));
}

bool CMyUtils::removeFile(std::string path) {
    return runShellCommand("rm " + doubleQuoted(path));
}

bool CMyUtils::createDirectory(std::string path) {
    if (path.empty()) return true;
    return mkdir(getNativePath(path).c_str(), 0777) == 0 || errno == EEXIST;
}

void CMyUtils::deleteDirectory(std::string path) {
    if (!path.empty() && isDirectory(path)) runShellCommand("rm -rf " + path);
}

std::vector<std::string> CMyUtils::scanDirectory(std::string dir) {
    ScannedEntries scan;
    scan.count = scandir(dir.c_str(), &scan.entries, nullptr, alphasort);
    std::vector<std::string> names;
    for (int i = 0; i < scan.count; ++i)
        names.emplace_back(scan.entries[i]->d_name);
    return names;
}

// ==== Bytes and hexadecimal text ====

bool CMyUtils::isBigEndian() {
    const std::uint16_t probe = 0x0102;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0x01;
}

void CMyUtils::char2Hex(unsigned char c, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[c >> 4];
    out[1] = kDigits[c & 0x0F];
    out[2] = '\0';
}

void CMyUtils::hex2Char(const char* hex, unsigned char& byte) {
    byte = 0;
    const int high = hexDigitValue(hex[0]);
    if (high < 0) return;
    const int low = hexDigitValue(hex[1]);
    byte = static_cast<unsigned char>(low < 0 ? high : high * 16 + low);
}

void CMyUtils::hexStr2CharStr(const char* hex, unsigned char* out, int n) {
    for (int i = 0; i < n; ++i)
        hex2Char(hex + 2 * static_cast<std::size_t>(i), out[i]);
}

void CMyUtils::charStr2HexStr(const unsigned char* in, char* out, int n) {
    out[0] = '\0';
    for (int i = 0; i < n; ++i)
        char2Hex(in[i], out + 2 * static_cast<std::size_t>(i));
}

// ==== Strings ====

std::string CMyUtils::charsToString(const char* p, int n) {
    if (!p || n < 1) return std::string();
    return std::string(p, strnlen(p, static_cast<std::size_t>(n)));
}

bool CMyUtils::replaceString(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return false;
    text.replace(at, from.size(), to);
    return true;
}

void CMyUtils::toUpperCase(std::string& text) {
    mapCharacters(text, [](int c) { return std::toupper(c); });
}

void CMyUtils::toLowerCase(std::string& text) {
    mapCharacters(text, [](int c) { return std::tolower(c); });
}

std::string CMyUtils::upperCase(std::string text) {
    toUpperCase(text);
    return text;
}

std::string CMyUtils::lowerCase(std::string text) {
    toLowerCase(text);
    return text;
}

void CMyUtils::trimWhiteSpace(std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size() && isWhiteSpace(text[begin]))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && isWhiteSpace(text[end - 1]))
        --end;
    text = text.substr(begin, end - begin);
}

std::string CMyUtils::trimmed(std::string text) {
    trimWhiteSpace(text);
    return text;
}

std::string CMyUtils::formatIntToString(const std::string& format, int value) {
    if (!isSingleIntFormat(format)) return std::string();
    std::vector<char> buffer(format.size() + 1000);
    if (std::snprintf(buffer.data(), buffer.size(), format.c_str(), value) < 0)
        return std::string();
    return std::string(buffer.data());
}

void CMyUtils::parseString(std::string text, std::vector<std::string>& tokens, char sep) {
    tokens.clear();
    trimWhiteSpace(text);
    text += sep;  // terminates the last token
    std::string token;
    for (const char c : text) {
        if (c != sep) {
            token += c;
            continue;
        }
        if (!token.empty()) tokens.push_back(token);
        token.clear();
    }
}

std::string CMyUtils::getTimeStamp(char sep) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // The compiler's date of this file, "Mmm dd yyyy" with a blank-padded day.
    std::vector<std::string> parts;
    parseString(__DATE__, parts, ' ');
    if (parts.size() < 3) return std::string();
    int month = 1;
    for (int i = 0; i < 12; ++i) {
        if (parts[0] == kMonths[i]) {
            month = i + 1;
            break;
        }
    }
    const int day = static_cast<int>(std::strtol(parts[1].c_str(), nullptr, 10));
    // Same text as "%s%c%02d%c%02d" with the year first; a NUL separator ends it after the year.
    char monthAndDay[16];
    std::snprintf(monthAndDay, sizeof monthAndDay, "%c%02d%c%02d", sep, month, sep, day);
    return parts[2] + monthAndDay;
}
