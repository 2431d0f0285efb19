// The log file on Windows: opened with FILE_FLAG_OPEN_REPARSE_POINT, so that a
// symbolic link or junction planted as the log is opened itself rather than
// followed, and described from the open handle: its attributes, its link
// count and its owner.
#include "log/log_file.h"

#include <new>
#include <string>
#include <vector>

#include "platform/winapi.h"

#include <aclapi.h>
#include <sddl.h>

struct LogFileHandle {
    HANDLE handle;
};

namespace {

// Whether sid is the user of this process's token: the account that runs the
// tool (SYSTEM for a deployment service, an administrator otherwise).
bool isRunningAccount(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    bool same = false;
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
        same = EqualSid(sid, user->User.Sid) != FALSE;
    }
    CloseHandle(token);
    return same;
}

LogFileOwner ownerOf(HANDLE file, std::string& text) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        text = "owner unreadable";
        return LogFileOwner::other;
    }
    LogFileOwner kind = LogFileOwner::other;
    LPWSTR sidText = nullptr;
    if (owner != nullptr && IsValidSid(owner) && ConvertSidToStringSidW(owner, &sidText)) {
        for (const wchar_t* c = sidText; *c != L'\0'; ++c) {
            text += static_cast<char>(*c);
        }
        LocalFree(sidText);
    }
    if (owner == nullptr || !IsValidSid(owner)) {
        kind = LogFileOwner::other;
    } else if (IsWellKnownSid(owner, WinLocalSystemSid)) {
        kind = LogFileOwner::system;
    } else if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        // An elevated administrator's files belong to the group by default.
        kind = LogFileOwner::administrators;
    } else if (isRunningAccount(owner)) {
        kind = LogFileOwner::runningAccount;
    }
    LocalFree(descriptor);
    return kind;
}

void describe(HANDLE file, LogFileFacts& facts) {
    facts.known = true;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) {
        // Nothing known: refused as not a regular file.
        return;
    }
    facts.link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.regularFile = GetFileType(file) == FILE_TYPE_DISK &&
                        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    facts.names = information.nNumberOfLinks;
    facts.owner = ownerOf(file, facts.ownerText);
}

}  // namespace

LogFileHandle* openLogFile(const std::filesystem::path& path, LogFileFacts& facts) {
    facts = LogFileFacts{};
    // Append-only access (no FILE_WRITE_DATA): every write goes to the end of
    // the file, whoever else writes to it. READ_CONTROL lets the owner be read
    // from the handle. Shared for reading and writing, as the log always was.
    const DWORD access = FILE_APPEND_DATA | READ_CONTROL | SYNCHRONIZE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    // A new log is created exclusively, with no security attributes of its
    // own: it gets the ACL inherited from the temporary folder, which for the
    // system's C:\Windows\Temp leaves it to its creator, SYSTEM and the
    // administrators.
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
        file = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
    }
    describe(file, facts);
    LogFileHandle* handle = new (std::nothrow) LogFileHandle{file};
    if (handle == nullptr) {
        CloseHandle(file);
        facts.known = false;
    }
    return handle;
}

bool writeLogFile(LogFileHandle& file, const char* bytes, std::size_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file.handle, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

void closeLogFile(LogFileHandle* file) {
    if (file == nullptr) {
        return;
    }
    CloseHandle(file->handle);
    delete file;
}

void noteLogFileRefused(const std::filesystem::path&, const std::string&) {
    // tarnwick.exe has no console: the run goes on without a log, as when
    // the temporary folder is missing.
}
