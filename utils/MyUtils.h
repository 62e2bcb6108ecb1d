// Path, file-system and string utilities of the toolkit.
//
// CMyUtils holds no data: every operation is a static member, so callers never need an instance.
// Paths are plain strings; their native form has every backslash replaced by a forward slash, and
// no other normalisation is ever done. String results are returned by value, and an empty string
// means "no result". Byte and character buffers belong to the caller, who sizes them as each
// operation states; the operations do not check those sizes.
//
// Shell commands: copyFile and deleteDirectory hand their paths to the shell UNQUOTED, so spaces
// split them and shell metacharacters are interpreted. renameFile and removeFile wrap each path in
// double quotes, which keeps spaces together but still lets the shell expand `$`, backquotes and
// embedded double quotes. Callers must never pass untrusted names to any of these four.
#ifndef FIBREJOIN_UTILS_MYUTILS_H
#define FIBREJOIN_UTILS_MYUTILS_H

#include <string>
#include <vector>

class CMyUtils {
  public:
    CMyUtils() {}
    virtual ~CMyUtils() {}

    // ==== Path text (no file-system access) ====

    static std::string getNativePath(std::string path);
    // Appends "/" unless the path is empty or already ends in "/", then converts backslashes; a
    // path ending in a backslash therefore ends in "//".
    static void toValidatePath(std::string& path);
    static std::string validatePath(const char* path);
    // Directory part including its trailing "/", or empty when the path has no "/".
    static std::string getFilePath(std::string path);
    // Native form cut before the last "." of the path; a path whose last "." lies in a directory
    // component (such as "./brain") has no extension and is returned whole.
    static std::string getFileTitle(std::string path);
    static std::string getPureFileTitle(std::string path);
    // Text after the dot that getFileTitle cut at; empty when there is none.
    static std::string getFileExtension(std::string path);
    // Kept for existing callers: joins nothing and always returns an empty string.
    static std::string appendPath(std::string, std::string);

    // ==== Working directory and environment ====

    static std::string getCurrentPath();
    // The path itself when non-empty, else the working directory; nothing is made absolute.
    static std::string getCompletePath(std::string path);
    // The variable's value as a directory path ending in "/", or empty when unset or empty.
    static std::string getEnv(std::string name);

    // ==== File-system queries and operations ====

    // False only when the path is missing (ENOENT) or runs through a non-directory (ENOTDIR);
    // any other failure, such as permission denied, counts as existing.
    static bool pathExist(std::string path);
    static bool isDirectory(std::string path);
    // Size in bytes, 0 when the file cannot be opened.
    static long getFileSize(std::string path);
    // Copies the first n bytes of source into a created or truncated destination. When the source
    // holds fewer than n bytes the result is false and the destination is left empty.
    static bool cutFile(std::string source, std::string destination, long n);
    // Runs "cp SOURCE DESTINATION" unquoted; the command's status is ignored and the result is
    // always true.
    static bool copyFile(std::string source, std::string destination);
    // Run mv / rm with double-quoted paths; true when the shell could be started, whatever the
    // command's own exit code.
    static bool renameFile(std::string source, std::string destination);
    static bool removeFile(std::string path);
    // Creates the last component only (mode 0777 less the umask). True when created, when it
    // already exists, or when the path is empty.
    static bool createDirectory(std::string path);
    // Runs "rm -rf PATH" unquoted when the path names a directory.
    static void deleteDirectory(std::string path);
    // Every entry name, "." and ".." included, in alphabetical order; empty when unreadable.
    static std::vector<std::string> scanDirectory(std::string dir);

    // ==== Bytes and hexadecimal text (digits 0-9 and upper-case A-F only) ====

    static bool isBigEndian();
    // Writes two digits and a NUL into out, which holds at least 3 chars.
    static void char2Hex(unsigned char c, char* out);
    // Reads up to two digits: an invalid first digit gives 0, an invalid second digit leaves the
    // first digit's value unshifted.
    static void hex2Char(const char* hex, unsigned char& byte);
    // Converts the first 2n characters of hex into n bytes, pair by pair as hex2Char does.
    static void hexStr2CharStr(const char* hex, unsigned char* out, int n);
    // Writes 2n digits and a NUL into out, which holds at least 2n + 1 chars.
    static void charStr2HexStr(const unsigned char* in, char* out, int n);

    // ==== Strings ====

    // At most n characters of p; an embedded NUL ends the result early.
    static std::string charsToString(const char* p, int n);
    // Replaces the first occurrence of from by to; false when from does not occur.
    static bool replaceString(std::string& text, const std::string& from, const std::string& to);
    static void toUpperCase(std::string& text);
    static void toLowerCase(std::string& text);
    static std::string upperCase(std::string text);
    static std::string lowerCase(std::string text);
    static void trimWhiteSpace(std::string& text);
    static std::string trimmed(std::string text);
    // Formats value with a printf format holding at most one integer conversion (flags, width,
    // precision and an h or hh length allowed) besides any "%%". Any other format gives an empty
    // string; output longer than the format's length plus 999 characters is cut there.
    static std::string formatIntToString(const std::string& format, int value);
    // Splits the trimmed text at sep; empty tokens are dropped, other white space is kept.
    static void parseString(std::string text, std::vector<std::string>& tokens, char sep);
    // The build date as year, month and day, each pair joined by sep ("2024-11-07").
    static std::string getTimeStamp(char sep);
};

#endif  // FIBREJOIN_UTILS_MYUTILS_H
