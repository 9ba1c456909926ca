// The output folder as the real program leaves it: one run at a time, no
// temporary file left, data on the disk before a name points at it, and
// replaced files keeping their permissions.

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string program = MORIVOX_BIN;

bool is_temporary(const std::string& name)
{
    return name.find(".tmp-") != std::string::npos;
}

// Another run's lock is refused with one line, before anything is touched;
// a lock on another folder changes nothing.
TEST(Folder, OneRunAtATime)
{
    const std::string busy = make_temp_dir(), free_dir = make_temp_dir();
    const std::vector<uint8_t> theirs(10, 1);
    write_file(busy + "/" + file_name_of("あ"), theirs);
    write_file(busy + "/" + file_name_of("か") + ".tmp-1-0", theirs);  // the other run's, in progress
    const int held = open(busy.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    const run_result r = run_program(busy, program, {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "another run is writing into this folder\n");
    EXPECT_EQ(list_dir(busy).size(), 2u) << "nothing written, nothing of the other run's removed";
    EXPECT_EQ(read_file(busy + "/" + file_name_of("あ")), theirs);

    const run_result elsewhere = run_program(free_dir, program, {});
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
    close(held);

    const run_result after = run_program(busy, program, {});
    EXPECT_EQ(after.status, 0) << "the lock went with its holder: " << after.err;
    remove_tree(busy);
    remove_tree(free_dir);
}

// Leftovers of a stopped run go; a leftover that blocks the next temporary
// name (a container's first process has the same id every time) is passed
// over; files not of our naming stay.
TEST(Folder, LeftoversAreRemovedAndNeverBlock)
{
    const std::string d = make_temp_dir();
    const std::vector<uint8_t> junk(1000, 2);
    const std::vector<std::string> stale = {file_name_of("か") + ".tmp-1-0", file_name_of("ん") + ".tmp-99999-7"};
    const std::vector<std::string> kept = {"notes.tmp-1-0", file_name_of("さ") + ".tmp-1-x", "mine.wav"};
    for (const std::string& n : stale)
        write_file(d + "/" + n, junk);
    for (const std::string& n : kept)
        write_file(d + "/" + n, junk);
    // Folders at this process's first temporary names cannot be removed as
    // leftovers: the writer must take other names.
    const run_result r = run_program(d, program, {}, {}, [&] {
        for (int n = 0; n < 3; ++n)
            mkdir((file_name_of("あ") + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(n)).c_str(), 0755);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& n : stale)
        EXPECT_FALSE(file_exists(d + "/" + n)) << n;
    for (const std::string& n : kept)
        EXPECT_EQ(read_file(d + "/" + n), junk) << n;
    EXPECT_TRUE(parse_wav(read_file(d + "/" + file_name_of("あ"))).valid);
    remove_tree(d);
}

// A run stopped by a signal ends as that signal says and leaves no
// temporary file, wherever it was stopped.
TEST(Folder, StoppedRunsLeaveNoTemporaryFile)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (int delay_ms : {30, 60, 90}) {
            const std::string d = make_temp_dir();
            fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                if (chdir(d.c_str()) != 0)
                    _exit(126);
                const int null_fd = open("/dev/null", O_WRONLY);
                dup2(null_fd, STDOUT_FILENO);
                execl(program.c_str(), program.c_str(), "-rate", "768000", static_cast<char*>(nullptr));
                _exit(127);
            }
            usleep(static_cast<useconds_t>(delay_ms) * 1000);
            kill(pid, sig);
            int status = 0;
            waitpid(pid, &status, 0);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                remove_tree(d);
                continue;  // finished before the signal came
            }
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
            for (const std::string& name : list_dir(d))
                EXPECT_FALSE(is_temporary(name)) << name << " left by signal " << sig << " after " << delay_ms << " ms";
            remove_tree(d);
        }
    }
}

// Every file's data is flushed before the rename that gives it its name,
// and the folder is flushed after the last rename.
TEST(Folder, DataReachesTheDiskBeforeTheName)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        FAIL() << "strace is needed (scripts/setup installs it)";
    const std::string d = make_temp_dir();
    const run_result r = run_program(d, "/usr/bin/strace",
                                     {"-f", "-qq", "-o", d + "/trace", "-e", "trace=openat,fdatasync,fsync,rename",
                                      program},
                                     {"ASAN_OPTIONS=detect_leaks=0"});  // no leak check under ptrace
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> bytes = read_file(d + "/trace");
    std::istringstream trace(std::string(bytes.begin(), bytes.end()));
    std::map<std::string, std::string> partial;  // thread -> a call not finished yet
    std::map<std::string, std::string> temp_of;  // descriptor -> temporary file open on it
    std::set<std::string> flushed;               // temporary files whose data was flushed
    int renames = 0;
    std::string line, last;
    while (std::getline(trace, line)) {
        // "<pid> call(...) = result", a call split by another thread's being
        // "<pid> call(... <unfinished ...>" then "<pid> <... call resumed>...".
        const std::string pid = line.substr(0, line.find(' '));
        std::string call = line.substr(line.find_first_not_of(' ', pid.size()));
        if (call.find("<unfinished ...>") != std::string::npos) {
            partial[pid] = call.substr(0, call.find(" <unfinished ...>"));
            continue;
        }
        if (call.rfind("<... ", 0) == 0)
            call = partial[pid] + call.substr(call.find("resumed>") + 8);
        const size_t a = call.find('"'), b = call.find('"', a + 1);
        const std::string quoted = a == std::string::npos ? "" : call.substr(a + 1, b - a - 1);
        if (call.rfind("openat(", 0) == 0 && is_temporary(quoted) && call.find("O_CREAT") != std::string::npos) {
            temp_of[call.substr(call.rfind("= ") + 2)] = quoted;
        } else if (call.rfind("fdatasync(", 0) == 0 && call.substr(call.rfind("= ")) == "= 0") {
            flushed.insert(temp_of[call.substr(10, call.find(')') - 10)]);
        } else if (call.rfind("rename(", 0) == 0) {
            EXPECT_TRUE(flushed.count(quoted)) << quoted << " renamed before its data was flushed";
            ++renames;
        }
        if (call.rfind("fsync(", 0) == 0 || call.rfind("rename(", 0) == 0)
            last = call;
    }
    EXPECT_EQ(renames, 142);
    EXPECT_NE(last.find("fsync("), std::string::npos) << "the folder is flushed after the last rename: " << last;
    remove_tree(d);
}

// A replaced file keeps its permission bits, and its owner where the
// program may set it; a symbolic link at a name is replaced, not followed.
TEST(Folder, ReplacedFilesKeepTheirPermissions)
{
    const std::string d = make_temp_dir(), outside = make_temp_dir();
    const std::vector<uint8_t> old(10, 3);
    struct row {
        const char* name;
        mode_t mode;
    } rows[] = {{"あ", 0600}, {"い", 0640}, {"う", 0604}};
    for (const row& c : rows) {
        write_file(d + "/" + file_name_of(c.name), old);
        ASSERT_EQ(chmod((d + "/" + file_name_of(c.name)).c_str(), c.mode), 0);
    }
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((d + "/" + file_name_of("あ")).c_str(), 65534, 65534), 0);
    }
    write_file(outside + "/target", old);
    ASSERT_EQ(symlink((outside + "/target").c_str(), (d + "/" + file_name_of("か")).c_str()), 0);

    const run_result r = run_program(d, program, {});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const row& c : rows) {
        struct stat st;
        ASSERT_EQ(stat((d + "/" + file_name_of(c.name)).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << c.name;
        EXPECT_TRUE(parse_wav(read_file(d + "/" + file_name_of(c.name))).valid) << c.name;
        if (root && std::string(c.name) == "あ") {
            EXPECT_EQ(st.st_uid, 65534u);
            EXPECT_EQ(st.st_gid, 65534u);
        }
    }
    struct stat link;
    ASSERT_EQ(lstat((d + "/" + file_name_of("か")).c_str(), &link), 0);
    EXPECT_TRUE(S_ISREG(link.st_mode)) << "the link is replaced by the new file";
    EXPECT_EQ(read_file(outside + "/target"), old) << "never written through";
    remove_tree(d);
    remove_tree(outside);
}

// With both streams in one log, a file's error follows its progress line.
TEST(Folder, MessagesKeepTheirOrderInALog)
{
    const std::string d = make_temp_dir();
    ASSERT_EQ(mkdir((d + "/" + file_name_of("か")).c_str(), 0755), 0);
    const run_result r = run_program(d, program, {}, {}, [] { dup2(STDOUT_FILENO, STDERR_FILENO); });
    EXPECT_EQ(r.status, 255);
    const std::vector<std::string> lines = split_lines(r.out);
    const auto at = std::find(lines.begin(), lines.end(), "generating...'" + file_name_of("か") + "'");
    ASSERT_NE(at, lines.end()) << r.out;
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ(at[1], "cannot write '" + file_name_of("か") + "': Is a directory");
    EXPECT_EQ(lines.back(), "done.");
    remove_tree(d);
}

} // namespace
