#include "log/log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <streambuf>
#include <system_error>

#include "log/log_file.h"

namespace {

// Turns each wide character into the byte the log file holds and hands it to
// the file at once. The runtimes disagree on how to narrow characters above
// 0x7F, so this is done here: U+0000..U+00FF become the byte of that value, a
// line feed becomes CR LF, and any other character (a surrogate pair counts as
// one) becomes a single "?", so that a user name in another script does not cut
// the log short. A failed write fails the stream for the rest of the run.
class LogFileBuf : public std::wstreambuf {
public:
    ~LogFileBuf() override { close(); }
    // The platform opens the file safely (log/log_file.h). Nothing is
    // buffered here, so every character is in the file as soon as it is
    // written; the line ends are written by overflow() itself, so the bytes
    // are the same on every platform.
    bool open(const std::filesystem::path& path) {
        file_ = openCheckedLogFile(path);
        return file_ != nullptr;
    }
    void close() {
        closeLogFile(file_);
        file_ = nullptr;
        afterHighSurrogate_ = false;
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        if (file_ == nullptr) {
            return traits_type::eof();
        }
        const auto unit = static_cast<unsigned long>(traits_type::to_char_type(c));
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (low && afterHighSurrogate_) {
            // The "?" for this pair went out with its first half.
            afterHighSurrogate_ = false;
            return c;
        }
        afterHighSurrogate_ = high;
        bool written;
        if (unit == L'\n') {
            written = writeLogFile(*file_, "\r\n", 2);
        } else {
            const char byte = unit <= 0xFF ? static_cast<char>(static_cast<unsigned char>(unit)) : '?';
            written = writeLogFile(*file_, &byte, 1);
        }
        return written ? c : traits_type::eof();
    }

private:
    LogFileHandle* file_ = nullptr;
    bool afterHighSurrogate_ = false;
};

class LogStream : public std::wostream {
public:
    LogStream() : std::wostream(nullptr) { init(&buf_); }
    LogFileBuf buf_;
};

LogStream logStream;
bool logOpened = false;

void appendTwoDigits(std::wstring& out, int value) {
    out += static_cast<wchar_t>(L'0' + value / 10 % 10);
    out += static_cast<wchar_t>(L'0' + value % 10);
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long daysFromCivil(long long year, int yday) {
    const long long y = year - 1;
    return (year - 1970) * 365 + (y / 4 - 1969 / 4) - (y / 100 - 1969 / 100) + (y / 400 - 1969 / 400) + yday;
}

long long secondsOf(const std::tm& t) {
    return daysFromCivil(t.tm_year + 1900LL, t.tm_yday) * 86400 + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

}  // namespace

void openLogOnce() {
    if (logOpened) {
        return;
    }
    logOpened = true;
    std::error_code ignored;
    std::filesystem::path path = std::filesystem::temp_directory_path(ignored);
    if (!path.empty()) {
        path /= L"tarnwick.log";
    }
    if (path.empty()) {
        return;
    }
    if (logStream.buf_.open(path)) {
        logStream.clear();
    } else {
        logStream.setstate(std::ios::failbit);
    }
}

std::wstring formatLogStamp(long long secondsSinceEpoch) {
    const std::time_t now = static_cast<std::time_t>(secondsSinceEpoch);
    // The C runtimes differ in %F, %T and %z (msvcrt writes the zone's name for
    // %z), so the stamp is built here and the offset is taken from the
    // difference between local and UTC time, daylight saving included.
    std::tm local{};
    std::tm utc{};
    if (const std::tm* l = std::localtime(&now)) {
        local = *l;
    }
    if (const std::tm* u = std::gmtime(&now)) {
        utc = *u;
    }
    const long long offsetMinutes = (secondsOf(local) - secondsOf(utc)) / 60;
    std::wstring stamp;
    long long year = local.tm_year + 1900LL;
    if (year < 0) {
        stamp += L'-';
        year = -year;
    }
    std::wstring digits = std::to_wstring(year);
    if (digits.size() < 4) {
        stamp.append(4 - digits.size(), L'0');
    }
    stamp += digits;
    stamp += L'-';
    appendTwoDigits(stamp, local.tm_mon + 1);
    stamp += L'-';
    appendTwoDigits(stamp, local.tm_mday);
    stamp += L' ';
    appendTwoDigits(stamp, local.tm_hour);
    stamp += L':';
    appendTwoDigits(stamp, local.tm_min);
    stamp += L':';
    appendTwoDigits(stamp, local.tm_sec);
    stamp += L' ';
    stamp += offsetMinutes < 0 ? L'-' : L'+';
    const long long magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    appendTwoDigits(stamp, static_cast<int>(magnitude / 60));
    appendTwoDigits(stamp, static_cast<int>(magnitude % 60));
    return stamp;
}

std::wostream& logLine() {
    openLogOnce();
    const long long now = static_cast<long long>(std::time(nullptr));
    logStream << formatLogStamp(now) << L' ';
    return logStream;
}

std::wostream& operator<<(std::wostream& out, const QuotedPath& quoted) {
    return out << std::quoted(quoted.path, L'"', L'\\');
}

void resetLogForTests() {
    logStream.buf_.close();
    logStream.clear();
    logStream.flags(std::ios::dec | std::ios::skipws);
    logStream.width(0);
    logOpened = false;
}
