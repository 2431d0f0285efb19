// The I/O floor of a write-back: read each hive whole, write it to a new file
// beside it, fsync, rename over the original, fsync the folder. No parsing,
// no change: what any atomic replacement of these files must cost at least.
// With --logs, each hive's HIVE.LOG1 and HIVE.LOG2 are read whole too, as a
// replay of a dirty hive must read them.
//
//   io_floor [--logs] HIVE...
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static bool fail(const std::string& what) {
    std::fprintf(stderr, "io_floor: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

static bool readWhole(const std::string& path, std::vector<char>& buffer) {
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail("open " + path);
    buffer.clear();
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = read(in, chunk, sizeof chunk);
        if (n < 0) { close(in); return fail("read " + path); }
        if (n == 0) break;
        buffer.insert(buffer.end(), chunk, chunk + n);
    }
    close(in);
    return true;
}

static bool replace(const std::string& path, std::vector<char>& buffer) {
    if (!readWhole(path, buffer)) return false;
    const std::string temporary = path + ".floor.tmp";
    const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return fail("create " + temporary);
    for (std::size_t done = 0; done < buffer.size();) {
        const ssize_t n = write(out, buffer.data() + done, buffer.size() - done);
        if (n < 0) { close(out); return fail("write " + temporary); }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(out) != 0 || close(out) != 0) return fail("fsync " + temporary);
    if (rename(temporary.c_str(), path.c_str()) != 0) return fail("rename " + temporary);
    const std::string folder = path.substr(0, path.find_last_of('/') == std::string::npos ? 1 : path.find_last_of('/'));
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0) return fail("fsync " + folder);
    close(dir);
    return true;
}

int main(int argc, char** argv) {
    std::vector<char> buffer;
    std::vector<char> log;
    const bool logs = argc > 1 && std::string(argv[1]) == "--logs";
    for (int i = logs ? 2 : 1; i < argc; ++i) {
        for (const char* suffix : {".LOG1", ".LOG2"}) {
            const std::string name = std::string(argv[i]) + suffix;
            if (logs && access(name.c_str(), F_OK) == 0 && !readWhole(name, log)) return 1;
        }
        if (!replace(argv[i], buffer)) return 1;
    }
    return 0;
}
