// The output folder as the real program leaves it: one run at a time, no
// temporary file left nor another run's taken, data on the disk before a
// name points at it, replaced files keeping their permissions, a
// voicebank that never describes recordings it does not hold.

#include "bank/lists.h"
#include "folder/folder.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

namespace {

const std::string program = MORIVOX_BIN;
const std::string fake = MORIVOX_FAKE_BIN;
const std::string no_locks = MORIVOX_NO_LOCKS;

bool is_temporary(const std::string& name)
{
    return name.find(".tmp-") != std::string::npos;
}

// What a stopped run says last.
std::string last_line(const std::string& text)
{
    const std::vector<std::string> lines = split_lines(text);
    return lines.empty() ? "" : lines.back();
}

std::string tag_of(pid_t pid)
{
    char tag[folder_tag_room];
    if (folder_run_tag(pid, tag, sizeof tag) != 0)
        abort();
    return tag;
}

// The tag of a process that has come and gone.
std::string gone_tag()
{
    int p[2];
    if (pipe(p) != 0)
        abort();
    const pid_t pid = fork();
    if (pid == 0) {
        char c;
        close(p[1]);
        _exit(read(p[0], &c, 1) < 0 ? 1 : 0);
    }
    close(p[0]);
    const std::string tag = tag_of(pid);
    close(p[1]);
    waitpid(pid, nullptr, 0);
    return tag;
}

// This process's tag as if it ran on another machine.
std::string elsewhere_tag()
{
    const std::string own = tag_of(getpid());
    return own.substr(0, own.rfind('-') + 1) + "0123456789abcdef";
}

std::string host_name()
{
    char host[128] = "";
    gethostname(host, sizeof host - 1);
    return host;
}

std::string text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> bytes(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Holds the kernel lock a run takes on the lock file, as a run would.
int hold_kernel_lock(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR);
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &whole) != 0)
        abort();
    return fd;
}

// In the child: the program runs as an unprivileged user, so that a folder's
// permissions hold for it (root may read any folder).
void as_nobody()
{
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        _exit(125);
}

// A second run finds the folder taken and stops before touching anything,
// whatever the lock file says and however it is seen: its run alive (with
// or without a kernel lock: another mount of the folder shares none), gone,
// on another machine, on a file system without locks, in a folder it may
// not read, in a subfolder a run of several pitches would write. A lock file
// of a run that is gone is taken over, another user's too where the folder
// lets this user replace it; something else at its name is named. A run
// that holds the folder removes every temporary file of its names.
TEST(Folder, OneRunAtATime)
{
    const std::string own = tag_of(getpid()), host = host_name();
    const std::string busy = "another run is writing into this folder (pid " + std::to_string(getpid()) + " on ";
    const std::string unseen =
        "if no run is writing there (one may have stopped on another machine, or before a restart), remove "
        ".morivox.lock\n";
    const std::string gone = gone_tag();
    const std::string pid_gone = gone.substr(0, gone.find('-'));
    struct row {
        const char* why;
        std::string lock_line;  // what a lock file in place says; "" for none
        bool held;              // the test holds its kernel lock
        bool without_locks;     // every file lock fails in the program (ENOLCK)
        bool unreadable;        // the folder has mode 0300
        int status;
        std::string err;
        std::vector<std::string> args = {};
        const char* lock_at = ".morivox.lock";  // where the lock file lies in the folder
        mode_t others = 0;  // the run is another user's, the folder has this mode, the lock file stays root's
        const char* foreign = nullptr;  // something else at the lock's name: "fifo", "link"
        mode_t lock_mode = 0644;
    } rows[] = {
        {"a run holds it", own + " " + host + "\n", true, false, false, 255, busy + host + ")\n"},
        {"a run through another path (no shared kernel lock)", own + " " + host + "\n", false, false, false, 255,
         busy + host + ")\n"},
        {"in a folder that may not be read", own + " " + host + "\n", false, false, true, 255, busy + host + ")\n"},
        {"its run is gone", gone + " " + host + "\n", false, false, false, 0, ""},
        {"a run of another machine, its kernel lock free", elsewhere_tag() + " elsewhere\n", false, false, false, 0,
         ""},
        {"a run of another machine, no file locks", elsewhere_tag() + " elsewhere\n", false, true, false, 255,
         busy + "elsewhere)\n" + unseen},
        {"no file locks, no other run", "", false, true, false, 0,
         "no file lock on .morivox.lock (No locks available): only runs on this machine can see the folder is "
         "taken\n"},
        // Its leftovers cannot be listed, so none is removed.
        {"a folder that may not be read, no other run", "", false, false, true, 0, ""},
        {"a host name of escape sequences", own + " \x1b]2;PWNED\x07\x1b[31m\\" + "\n", true, false, false, 255,
         busy + "\\x1b]2;PWNED\\x07\\x1b[31m\\x5c)\n"},
        {"a run in a subfolder of a run of several pitches", own + " " + host + "\n", true, false, false, 255,
         "another run is writing into the folder 'A3' (pid " + std::to_string(getpid()) + " on " + host + ")\n",
         {"-pitch", "A2,A3"}, "A3/.morivox.lock"},
        {"another user's, its run gone, in a folder anyone may write", gone + " " + host + "\n", false, false, false, 0,
         "", {}, ".morivox.lock", 0777},
        {"another user's, its run gone, in a folder of the sticky bit", gone + " " + host + "\n", false, false, false,
         255,
         "cannot lock the folder: .morivox.lock was left by a run that is gone (pid " + pid_gone + " on " + host +
             "), and this user may not replace it (Operation not permitted): its owner or root may remove it\n",
         {}, ".morivox.lock", 01777},
        {"another user's that this user may not read", gone + " " + host + "\n", false, false, false, 255,
         "cannot lock the folder: .morivox.lock: Permission denied\n.morivox.lock is another user's: if no run is "
         "writing there, remove it\n",
         {}, ".morivox.lock", 0777, nullptr, 0600},
        {"a named pipe at its name", "", false, false, false, 255,
         "cannot lock the folder: .morivox.lock is a named pipe, not a lock file: move it away or remove it\n", {},
         ".morivox.lock", 0, "fifo"},
        {"a symbolic link at its name", "", false, false, false, 255,
         "cannot lock the folder: .morivox.lock is a symbolic link, not a lock file: move it away or remove it\n",
         {}, ".morivox.lock", 0, "link"},
    };
    for (const row& c : rows) {
        if ((c.others != 0 || c.unreadable) && geteuid() != 0)
            continue;  // only root can leave a file another user may not write
        const std::string d = make_temp_dir(), lock = d + "/" + c.lock_at;
        if (std::string(c.lock_at) != ".morivox.lock")
            mkdir((d + "/A3").c_str(), 0755);
        const std::vector<uint8_t> theirs(10, 1);
        const std::string in_flight = file_name_of("か") + ".tmp-" + own + "-0";
        write_file(d + "/" + file_name_of("あ"), theirs);
        write_file(d + "/" + in_flight, theirs);  // a run's in flight, or a stopped one's
        if (!c.lock_line.empty()) {
            write_file(lock, bytes(c.lock_line));
            ASSERT_EQ(chmod(lock.c_str(), c.lock_mode), 0);
        }
        if (c.foreign != nullptr && std::string(c.foreign) == "fifo") {
            ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0);
        }
        if (c.foreign != nullptr && std::string(c.foreign) == "link") {
            ASSERT_EQ(symlink("elsewhere", lock.c_str()), 0);
        }
        const int held = c.held ? hold_kernel_lock(lock) : -1;
        if (c.unreadable) {
            // The folder and its files are the unprivileged user's.
            for (const std::string& name : list_dir(d))
                ASSERT_EQ(chown((d + "/" + name).c_str(), 65534, 65534), 0);
            ASSERT_EQ(chown(d.c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(d.c_str(), 0300), 0);
        }
        if (c.others != 0) {
            for (const std::string& name : {file_name_of("あ"), in_flight})
                ASSERT_EQ(chown((d + "/" + name).c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(d.c_str(), c.others), 0);
        }
        const std::vector<std::string> before = list_dir(d);
        std::vector<std::string> env;
        if (c.without_locks)
            env = {"LD_PRELOAD=" + no_locks, "ASAN_OPTIONS=verify_asan_link_order=0"};
        const bool nobody = c.unreadable || c.others != 0;
        const run_result r = run_program(d, program, c.args, env, nobody ? as_nobody : std::function<void()>{});
        chmod(d.c_str(), 0700);
        if (held >= 0)
            close(held);
        ASSERT_NE(r.status, 125) << c.why << ": could not become an unprivileged user";
        EXPECT_EQ(r.status, c.status) << c.why << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << c.why;
        const std::vector<std::string> names = list_dir(d);
        if (c.status != 0) {
            EXPECT_EQ(r.out, "") << c.why;
            EXPECT_EQ(names, before) << c.why << ": nothing written";
            EXPECT_EQ(read_file(d + "/" + in_flight), theirs) << c.why << ": another run's file in flight is kept";
            EXPECT_EQ(read_file(d + "/" + file_name_of("あ")), theirs) << c.why;
            if (!c.lock_line.empty()) {
                EXPECT_EQ(text(read_file(lock)), c.lock_line) << c.why << ": the lock file is the other run's";
            }
        } else {
            // Every recording; the lock file and a stopped run's file gone,
            // unless the folder could not be read.
            EXPECT_EQ(names.size(), 142u + c.unreadable) << c.why;
            EXPECT_NE(file_exists(d + "/" + in_flight), !c.unreadable) << c.why;
            EXPECT_TRUE(parse_wav(read_file(d + "/" + file_name_of("あ"))).valid) << c.why;
        }
        remove_tree(d);
    }
}

// A run of several pitches holds each subfolder it writes: a run started
// in one of them meanwhile is refused (the other way round, see
// OneRunAtATime).
TEST(Folder, ARunOfSeveralPitchesHoldsItsSubfolders)
{
    const std::string d = make_temp_dir();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        if (chdir(d.c_str()) != 0)
            _exit(126);
        execl(fake.c_str(), fake.c_str(), "-pitch", "A2,A3", "-oto", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // The banner comes once every lock is taken: hold the run there.
    char c = 0;
    ASSERT_EQ(read(out[0], &c, 1), 1);
    kill(pid, SIGSTOP);
    const run_result r = run_program(d + "/A3", program, {});
    kill(pid, SIGCONT);
    std::string rest;
    for (char buf[4096]; ssize_t n = read(out[0], buf, sizeof buf);)
        rest.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.err, "another run is writing into this folder (pid " + std::to_string(pid) + " on " + host_name() +
                         ")\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run of several pitches goes on";
    EXPECT_EQ(list_dir(d + "/A3").size(), 2u * 142 + 1) << "its recordings, maps and oto.ini, no lock file";
    remove_tree(d);
}

// Two paths to one folder where the kernel's locks are not shared between
// them (bindfs keeps them to its mount): the lock file's name of its run
// still tells the second run, whichever path each takes, and a free kernel
// lock through the mount tells nothing.
TEST(Folder, OneFolderThroughTwoPaths)
{
    if (geteuid() != 0 || access("/usr/bin/bindfs", X_OK) != 0 || access("/dev/fuse", R_OK) != 0)
        GTEST_SKIP() << "needs root, bindfs and /dev/fuse (scripts/setup --tests installs bindfs)";
    const std::string source = make_temp_dir(), mount_point = make_temp_dir();
    const run_result mounted = run_program("/", "/usr/bin/bindfs", {source, mount_point});
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    const std::string own = tag_of(getpid());
    for (const auto& [lock_path, run_path] :
         {std::pair{source, mount_point}, std::pair{mount_point, source}}) {
        write_file(lock_path + "/.morivox.lock", bytes(own + " " + host_name() + "\n"));
        const int held = hold_kernel_lock(lock_path + "/.morivox.lock");
        const run_result r = run_program(run_path, program, {});
        close(held);
        EXPECT_EQ(r.status, 255) << "lock through " << lock_path << ", run through " << run_path << ": " << r.err;
        EXPECT_EQ(list_dir(source), std::vector<std::string>{".morivox.lock"}) << "nothing written";
        // Through the mount: bindfs would not see a removal beside it at once.
        unlink((mount_point + "/.morivox.lock").c_str());
    }
    // A run of another machine, its kernel lock free: beside the mount that
    // says it is gone (the lock would be shared), through it nothing can
    // tell (bindfs keeps locks to its mount), so the run stops and says how
    // to clear the lock.
    write_file(source + "/.morivox.lock", bytes(elsewhere_tag() + " elsewhere\n"));
    const run_result r = run_program(mount_point, program, {});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.err, "another run is writing into this folder (pid " + std::to_string(getpid()) +
                         " on elsewhere)\nif no run is writing there (one may have stopped on another machine, or "
                         "before a restart), remove .morivox.lock\n");
    EXPECT_EQ(list_dir(source), std::vector<std::string>{".morivox.lock"}) << "nothing written";
    unlink((mount_point + "/.morivox.lock").c_str());
    umount2(mount_point.c_str(), MNT_DETACH);
    remove_tree(source);
    remove_tree(mount_point);
}

// Leftovers of stopped runs go: under the folder's lock no other run of
// this program writes there, so every temporary file of this program's
// names is a stopped run's, whichever machine or process namespace it ran
// in (a run killed in a container names a namespace of its own), and of an
// older name without its machine. Any file of another name stays. A
// leftover that blocks the next temporary name is passed over; one that
// cannot be removed is said.
TEST(Folder, LeftoversOfStoppedRunsAreRemovedAndNeverBlock)
{
    const std::string d = make_temp_dir();
    const std::vector<uint8_t> junk(1000, 2);
    const std::string gone = gone_tag();
    const std::vector<std::string> stale = {
        file_name_of("か") + ".tmp-" + gone + "-0",             // a run of this machine that is gone
        "oto.ini.tmp-" + gone + "-3",                           //
        file_name_of("さ") + ".tmp-" + tag_of(getpid()) + "-0",  // a process that runs, but holds no lock
        file_name_of("す") + ".tmp-" + elsewhere_tag() + "-1",   // another machine's or namespace's
        file_name_of("ん") + ".tmp-99999-7",                     // an older name: no machine
        ".morivox.lock.tmp-" + gone + "-0",                     // a lock file on its way
        std::string(bank_list_of(bank_list_vcv).texts[0].name) + ".wav.tmp-" + gone + "-2",  // a VCV string's
    };
    const std::vector<std::string> kept_others = {"notes.txt.tmp-2024-12", "song.wav.tmp-1-1",
                                                  file_name_of("し") + ".tmp-1-x", "mine.wav"};
    for (const std::string& n : stale)
        write_file(d + "/" + n, junk);
    for (const std::string& n : kept_others)
        write_file(d + "/" + n, junk);
    // Folders at the program's own first temporary names cannot be removed
    // as leftovers: the writer must take other names.
    const run_result r = run_program(d, program, {}, {}, [&] {
        for (int n = 0; n < 3; ++n)
            mkdir((file_name_of("あ") + ".tmp-" + tag_of(getpid()) + "-" + std::to_string(n)).c_str(), 0755);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& n : stale)
        EXPECT_FALSE(file_exists(d + "/" + n)) << n;
    for (const std::string& n : kept_others)
        EXPECT_EQ(read_file(d + "/" + n), junk) << n;
    EXPECT_TRUE(parse_wav(read_file(d + "/" + file_name_of("あ"))).valid);
    remove_tree(d);

    // Another user's, in a folder of the sticky bit.
    if (geteuid() != 0)
        return;
    const std::string shared = make_temp_dir();
    write_file(shared + "/" + stale[0], junk);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const run_result theirs = run_program(shared, program, {}, {}, as_nobody);
    EXPECT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(theirs.err, "cannot remove 1 temporary file of stopped runs: Operation not permitted\n");
    EXPECT_EQ(read_file(shared + "/" + stale[0]), junk);
    remove_tree(shared);
}

// A run stopped by a signal ends as that signal says, says how many files
// reached the folder, and leaves no temporary file, wherever it was
// stopped. It never leaves sampler files that describe recordings it
// replaced: before the first, they went aside, and each recording's map
// went with it. A signal ignored when the
// program started (nohup, a shell's background job) stays ignored.
TEST(Folder, StoppedRunsLeaveNoTemporaryFileNorAVoicebankThatLies)
{
    // The set in place: recordings and sampler files of another voice.
    const std::string old_set = make_temp_dir();
    ASSERT_EQ(run_program(old_set, fake, {"-oto", "-rate", "768000"}).status, 0);
    const std::vector<std::string> old_names = list_dir(old_set);
    struct row {
        int sig;
        int delay_ms;
        bool ignored;  // ignored when the program starts
    } rows[] = {
        {SIGINT, 40, false}, {SIGINT, 90, false},  {SIGTERM, 60, false}, {SIGTERM, 120, false},
        {SIGHUP, 90, false}, {SIGHUP, 150, false}, {SIGHUP, 60, true},   {SIGINT, 60, true},
    };
    for (const row& c : rows) {
        const std::string d = make_temp_dir();
        for (const std::string& n : old_names)
            write_file(d + "/" + n, read_file(old_set + "/" + n));
        const int sig = c.sig;
        const std::string why = std::string(strsignal(sig)) + " after " + std::to_string(c.delay_ms) + " ms" +
                                (c.ignored ? ", ignored" : "");
        const run_result r = run_program(d, program, {"-oto", "-rate", "768000"}, {}, [&] {
            if (c.ignored)
                signal(sig, SIG_IGN);
        }, sig, c.delay_ms);
        int replaced = 0;
        for (const std::string& n : expected_file_names()) {
            const bool new_one = read_file(d + "/" + n) != read_file(old_set + "/" + n);
            replaced += new_one;
            // A replaced recording's map went with it, in one step.
            const std::string map = n.substr(0, n.size() - 4) + "_wav.frq";
            EXPECT_EQ(read_file(d + "/" + map) == read_file(old_set + "/" + map), !new_one) << n << ": " << why;
        }
        const std::vector<std::string> names = list_dir(d);
        for (const std::string& name : names)
            EXPECT_FALSE(is_temporary(name) || name == ".morivox.lock") << name << " left: " << why;
        const bool has_oto = file_exists(d + "/oto.ini");
        if (c.ignored || r.status == 0) {
            EXPECT_EQ(r.status, 0) << why << ": " << r.err;
            EXPECT_EQ(replaced, 142) << why;
            EXPECT_NE(read_file(d + "/oto.ini"), read_file(old_set + "/oto.ini")) << why << ": a new oto.ini";
        } else {
            EXPECT_EQ(r.status, 128 + sig) << why;
            EXPECT_EQ(last_line(r.err), std::string("stopped by SIG") + (sig == SIGINT    ? "INT"
                                                                                  : sig == SIGTERM ? "TERM"
                                                                                                   : "HUP") +
                                                         ": " + std::to_string(replaced) +
                                                         (replaced == 1 ? " file" : " files") +
                                                         " reached the folder")
                << why;
            // The old oto.ini only with the old recordings, a new one only
            // with a whole new set (a stop after the last file).
            if (has_oto) {
                const bool new_oto = read_file(d + "/oto.ini") != read_file(old_set + "/oto.ini");
                EXPECT_EQ(replaced, new_oto ? 142 : 0) << why << ": an oto.ini that lies";
            }
            if (replaced > 0) {
                EXPECT_EQ(read_file(d + "/oto.ini.bak"), read_file(old_set + "/oto.ini")) << why << ": kept aside";
                EXPECT_NE(r.err.find("moved 'oto.ini' aside to 'oto.ini.bak'"), std::string::npos) << why;
            }
        }
        remove_tree(d);
    }
    remove_tree(old_set);
}

// In the child: what follows runs as the first process of a new PID
// namespace with its own /proc, as `unshare -fp --mount-proc` runs it (a
// container without an init). This process stays between, hands SIGTERM
// on and ends as that process ends.
void become_namespace_init()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0)
        _exit(125);
    const pid_t init = fork();
    if (init == 0) {
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("proc", "/proc", "proc", 0, nullptr) != 0)
            _exit(125);
        return;
    }
    for (;;) {
        int sig = 0;
        sigwait(&set, &sig);
        if (sig == SIGTERM)
            kill(init, SIGTERM);
        int status = 0;
        if (sig == SIGCHLD && waitpid(init, &status, WNOHANG) == init)
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
}

// A stop where the signal alone would not end the run: as the first
// process of a PID namespace, which a signal it does not catch leaves
// alive, and with its output in a pipe nobody reads, where the stop line
// cannot go. The run still ends at once, with the status of the signal,
// and leaves no temporary file and no lock file.
TEST(Folder, StopsEndTheRunWhereTheSignalAloneWouldNot)
{
    struct row {
        const char* why;
        bool namespace_init;
        bool unread_pipe;
    } rows[] = {
        {"the output in a pipe nobody reads", false, true},
        {"the first process of a PID namespace", true, false},  // last: it may be skipped
    };
    for (const row& c : rows) {
        if (c.namespace_init && geteuid() != 0)
            GTEST_SKIP() << c.why << ": a PID namespace needs root here (CI runs as root)";
        const std::string d = make_temp_dir();
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        if (c.unread_pipe && fcntl(p[1], F_SETPIPE_SZ, 4096) != 4096)
            GTEST_SKIP() << c.why << ": no pipe of 4096 bytes to be had here";
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(p[1], STDOUT_FILENO);
            dup2(p[1], STDERR_FILENO);
            close(p[0]);
            close(p[1]);
            if (chdir(d.c_str()) != 0)
                _exit(126);
            if (c.namespace_init)
                become_namespace_init();
            execl(program.c_str(), program.c_str(), "-voice", "hts", "-oto", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(p[1]);
        std::string out;
        // Reads what comes for `ms` milliseconds, or until the end.
        bool at_end = false;
        const auto read_for = [&](int ms) {
            timespec from{}, now{};
            clock_gettime(CLOCK_MONOTONIC, &from);
            for (int left = ms; !at_end;) {
                pollfd in = {p[0], POLLIN, 0};
                if (poll(&in, 1, left) != 1)
                    break;
                char buf[4096];
                const ssize_t n = read(p[0], buf, sizeof buf);
                at_end = n <= 0;
                out.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
                clock_gettime(CLOCK_MONOTONIC, &now);
                left = ms - static_cast<int>((now.tv_sec - from.tv_sec) * 1000 + (now.tv_nsec - from.tv_nsec) / 1000000);
                if (left <= 0)
                    break;
            }
        };
        if (c.unread_pipe) {
            // Until the run blocks on the full pipe.
            int queued = 0;
            for (int waited = 0; waited < 5000 && queued < 4096 - 100; waited += 10) {
                usleep(10000);
                ioctl(p[0], FIONREAD, &queued);
            }
            usleep(200000);
        } else {
            while (!at_end && out.find('\n') == std::string::npos)
                read_for(10);
            read_for(300);
        }
        kill(pid, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int waited = 0; waited < 10000 && !ended; waited += 10) {
            if (!c.unread_pipe && !at_end)
                read_for(10);
            else
                usleep(10000);
            ended = waitpid(pid, &status, WNOHANG) == pid;
        }
        if (!ended) {
            kill(pid, SIGKILL);  // and its namespace's init with it
            waitpid(pid, &status, 0);
        }
        read_for(0);
        close(p[0]);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 125)
            GTEST_SKIP() << c.why << ": no PID namespace and /proc of its own to be had here";
        EXPECT_TRUE(ended) << c.why << ": still running 10 s after SIGTERM";
        const int got = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        EXPECT_EQ(got, 128 + SIGTERM) << c.why;
        const std::vector<std::string> names = list_dir(d);
        for (const std::string& name : names)
            EXPECT_FALSE(is_temporary(name) || name == ".morivox.lock") << name << " left: " << c.why;
        if (c.namespace_init) {
            EXPECT_EQ(last_line(out), "stopped by SIGTERM: " + std::to_string(names.size()) + " files reached the folder")
                << c.why;
        }
        remove_tree(d);
    }
}

// A stop handled on another thread as a file is being created: the file
// is created, and gone once the program is.
TEST(Folder, AStopWhileAFileIsCreatedLeavesNothing)
{
#ifdef MORIVOX_THREAD_SANITIZED
    GTEST_SKIP() << "ThreadSanitizer holds a signal back until its thread next enters a call it intercepts, so the "
                    "moment this test arranges never comes";
#endif
    for (const std::string at : {".morivox.lock", ".tmp-"}) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, fake, {},
                                         {"LD_PRELOAD=" MORIVOX_STOP_AT_CREATE, "MORIVOX_STOP_AT=" + at,
                                          "ASAN_OPTIONS=verify_asan_link_order=0"});
        EXPECT_EQ(r.status, 128 + SIGTERM) << at << ": " << r.err;
        int recordings = 0;
        for (const std::string& name : list_dir(d)) {
            EXPECT_FALSE(is_temporary(name) || name == ".morivox.lock") << name << " left, stopped at " << at;
            recordings += name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
        }
        EXPECT_EQ(last_line(r.err), "stopped by SIGTERM: " + std::to_string(recordings) +
                                        (recordings == 1 ? " file" : " files") + " reached the folder")
            << at;
        remove_tree(d);
    }
}

// Stopped anywhere, a run of several pitches leaves no prefix.map that
// points into a subfolder it did not finish: the old one went aside before
// the first recording, the new one comes once every other file is there.
TEST(Folder, StoppedRunsOfSeveralPitchesLeaveNoMapIntoAHalfMadeSet)
{
    // The bank in place, at another rate, so that every new file differs.
    const std::string old_bank = make_temp_dir();
    const std::vector<std::string> args = {"-pitch", "A2,A3", "-oto"};
    std::vector<std::string> old_args = args;
    old_args.insert(old_args.end(), {"-rate", "768000"});
    ASSERT_EQ(run_program(old_bank, fake, old_args).status, 0);
    const std::vector<uint8_t> old_map = read_file(old_bank + "/prefix.map");
    for (int delay_ms : {5, 40, 80, 120, 160, 400}) {
        const std::string d = make_temp_dir();
        for (const std::string& name : list_dir(old_bank)) {
            if (name == "A2" || name == "A3") {
                mkdir((d + "/" + name).c_str(), 0755);
                for (const std::string& f : list_dir(old_bank + "/" + name))
                    write_file(d + "/" + name + "/" + f, read_file(old_bank + "/" + name + "/" + f));
            } else {
                write_file(d + "/" + name, read_file(old_bank + "/" + name));
            }
        }
        const std::string why = "stopped after " + std::to_string(delay_ms) + " ms";
        const run_result r = run_program(d, fake, args, {}, {}, SIGTERM, delay_ms);
        int replaced = 0;
        for (const char* sub : {"/A2/", "/A3/"}) {
            for (const std::string& n : expected_file_names())
                replaced += read_file(d + sub + n) != read_file(old_bank + sub + n);
            for (const std::string& name : list_dir(d + sub))
                EXPECT_FALSE(is_temporary(name)) << sub << name << ": " << why;
        }
        EXPECT_FALSE(file_exists(d + "/.morivox.lock")) << why;
        if (file_exists(d + "/prefix.map")) {
            // The old map over the old sets (stopped before the first
            // recording), or the new one over the new sets.
            EXPECT_TRUE(replaced == 0 || replaced == 2 * 142) << why << ": a map into a half-made set, " << replaced;
        } else {
            EXPECT_NE(r.status, 0) << why;
            EXPECT_EQ(read_file(d + "/prefix.map.bak"), old_map) << why << ": the old one, kept aside";
        }
        remove_tree(d);
    }
    remove_tree(old_bank);
}

// Every file's data is flushed before the rename that gives it its name,
// the files take their names in the order they were written (flushed
// side by side or not), and the folder is flushed after the last rename; the lock file's name of
// its run is flushed before the run writes anything.
TEST(Folder, DataReachesTheDiskBeforeTheName)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        FAIL() << "strace is needed (scripts/setup --tests installs it)";
    const std::string d = make_temp_dir();
    const run_result r = run_program(d, "/usr/bin/strace",
                                     {"-f", "-qq", "-o", d + "/trace", "-e", "trace=openat,fdatasync,fsync,rename",
                                      program},
                                     {"ASAN_OPTIONS=detect_leaks=0"});  // no leak check under ptrace
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> trace_bytes = read_file(d + "/trace");
    std::istringstream trace(text(trace_bytes));
    std::map<std::string, std::string> partial;  // thread -> a call not finished yet
    std::map<std::string, std::string> temp_of;  // descriptor -> temporary file open on it
    std::set<std::string> flushed;               // temporary files whose data was flushed
    std::string lock_fd;                         // the lock file's descriptor
    bool lock_flushed = false;
    std::vector<std::string> written, renamed;  // temporary files, in the order created and renamed
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
        // A temporary file is written on one descriptor, and flushed on
        // another opened again later.
        if (call.rfind("openat(", 0) == 0 && is_temporary(quoted)) {
            EXPECT_TRUE(lock_flushed) << quoted << " written before the lock file reached the disk";
            temp_of[call.substr(call.rfind("= ") + 2)] = quoted;
            if (call.find("O_CREAT") != std::string::npos)
                written.push_back(quoted);
        } else if (call.rfind("openat(", 0) == 0 && quoted == ".morivox.lock") {
            lock_fd = call.substr(call.rfind("= ") + 2);
        } else if (call.rfind("fdatasync(", 0) == 0 && call.substr(call.rfind("= ")) == "= 0") {
            const std::string fd = call.substr(10, call.find(')') - 10);
            lock_flushed = lock_flushed || fd == lock_fd;
            flushed.insert(temp_of[fd]);
        } else if (call.rfind("rename(", 0) == 0) {
            EXPECT_TRUE(flushed.count(quoted)) << quoted << " renamed before its data was flushed";
            renamed.push_back(quoted);
        }
        if (call.rfind("fsync(", 0) == 0 || call.rfind("rename(", 0) == 0)
            last = call;
    }
    EXPECT_EQ(renamed.size(), 142u);
    EXPECT_EQ(renamed, written) << "renamed in the order written";
    EXPECT_TRUE(lock_flushed) << "the lock file is flushed";
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

// A low limit on descriptors costs no file: no descriptor stays open for
// the files waiting for their flush.
TEST(Folder, SixteenDescriptorsAreEnough)
{
    for (const char* voice : {"espeak", "hts"}) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, {"-voice", voice, "-oto"}, {}, [] {
            struct rlimit lim = {16, 16};
            setrlimit(RLIMIT_NOFILE, &lim);
        });
        EXPECT_EQ(r.status, 0) << voice << ": " << r.err;
        EXPECT_EQ(r.err, "") << voice;
        EXPECT_EQ(list_dir(d).size(), 142u * 2 + 6u) << voice << ": recordings, frequency maps, six files";
        remove_tree(d);
    }
}

} // namespace
