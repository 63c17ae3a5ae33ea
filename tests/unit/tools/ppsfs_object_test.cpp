// ppsfs objects through a real mount: names and qualifiers, merging writes,
// full and delta reads, poll, ?wait, critical publishers, permissions and
// saved state.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "ppsfs_mount.h"

namespace ppsfs_test {
namespace {

using ObjectTest = PpsfsTest;

// Runs fn in a child process as another user; returns its exit status.
int AsUser(uid_t uid, gid_t gid, const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(100);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST_F(ObjectTest, DirectoriesNamesAndQualifiersFailWithTheirErrno) {
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    ASSERT_GE(Open("d/o", O_RDWR | O_CREAT).get(), 0);
    const int kCreate = O_RDWR | O_CREAT;
    struct Case {
        const char *what;
        std::function<int()> call;
        int err;
    } cases[] = {
        {"mkdir existing", [&] { return mkdir(P("d").c_str(), 0755); }, EEXIST},
        {"mkdir with @", [&] { return mkdir(P("a@b").c_str(), 0755); }, EINVAL},
        {"rmdir non-empty", [&] { return rmdir(P("d").c_str()); }, ENOTEMPTY},
        {"rmdir object", [&] { return rmdir(P("d/o").c_str()); }, ENOTDIR},
        {"unlink dir", [&] { return unlink(P("d").c_str()); }, EISDIR},
        {"create with @", [&] { return open(P("d/x@y").c_str(), kCreate, 0666); }, EINVAL},
        {"unknown qualifier", [&] { return open(P("d/n?verbose").c_str(), kCreate, 0666); },
         EINVAL},
        {"bad filter name", [&] { return open(P("d/n?f=9a").c_str(), kCreate, 0666); }, EINVAL},
        {"flag with value", [&] { return open(P("d/n?delta=1").c_str(), kCreate, 0666); }, EINVAL},
        {"open missing", [&] { return open(P("d/missing").c_str(), O_RDONLY); }, ENOENT},
        {"missing qualified", [&] { return open(P("d/missing?delta").c_str(), O_RDONLY); }, ENOENT},
        {"O_EXCL existing", [&] { return open(P("d/o?delta").c_str(), kCreate | O_EXCL, 0666); },
         EEXIST},
        {"qualified dir", [&] { return open(P("d?wait").c_str(), O_RDONLY); }, EINVAL},
        {"unlink bad qualifier", [&] { return unlink(P("d/o?nonsense").c_str()); }, EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        int rc = c.call();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, c.err);
        if (rc >= 0 && rc > 2) close(rc);
    }
    // Nothing above created anything.
    EXPECT_EQ(Cat("d/n"), "open failed: No such file or directory");
}

TEST_F(ObjectTest, QualifiersAreNeverPartOfTheName) {
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    {
        Fd w = Open("d/obj?nopersist,delta", O_RDWR | O_CREAT | O_TRUNC, 0640);
        ASSERT_GE(w.get(), 0);
        ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    }
    struct stat plain, qualified;
    ASSERT_EQ(stat(P("d/obj").c_str(), &plain), 0);
    ASSERT_EQ(stat(P("d/obj?delta,wait").c_str(), &qualified), 0);
    EXPECT_EQ(plain.st_ino, qualified.st_ino);
    EXPECT_EQ(plain.st_mode, qualified.st_mode);
    EXPECT_EQ(plain.st_mode & 07777, 0640u);
    EXPECT_EQ(plain.st_size, static_cast<off_t>(std::string("@obj\na::1\n").size()));
    EXPECT_EQ(Cat("d/obj?delta"), "@obj\na::1\n");
    // Only the bare name is listed.
    DIR *dir = opendir(P("d").c_str());
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> names;
    while (struct dirent *de = readdir(dir)) names.push_back(de->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "obj"}));
    ASSERT_EQ(unlink(P("d/obj?nopersist").c_str()), 0);
    EXPECT_EQ(stat(P("d/obj").c_str(), &plain), -1);
    EXPECT_EQ(errno, ENOENT);
}

struct MergeCase {
    const char *name;
    std::vector<std::string> writes;
    int last_errno;  // of the last write; the others succeed
    const char *expect;
};

void PrintTo(const MergeCase &c, std::ostream *os) {
    *os << c.name;
}

class MergeTest : public PpsfsTest, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(MergeTest, WritesMergeOrFailWhole) {
    const MergeCase &c = GetParam();
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    ASSERT_GE(w.get(), 0);
    for (std::size_t i = 0; i < c.writes.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(WriteText(w.get(), c.writes[i]), i + 1 == c.writes.size() ? c.last_errno : 0);
    }
    EXPECT_EQ(Cat("obj"), c.expect);
}

const std::string kNul("b::x\0y\n", 7);
const std::string kHuge = "big::" + std::string(2 << 20, 'y') + "\n";

INSTANTIATE_TEST_SUITE_P(
    Ppsfs, MergeTest,
    ::testing::Values(
        MergeCase{"Sets", {"a::1\n", "b:n:2\n"}, 0, "@obj\na::1\nb:n:2\n"},
        MergeCase{"ReplacesInPlace", {"a::1\nb::2\n", "a::3\n"}, 0, "@obj\na::3\nb::2\n"},
        MergeCase{"Deletes", {"a::1\nb::2\n", "-a\n-missing\n"}, 0, "@obj\nb::2\n"},
        MergeCase{"LeadingObjectLine", {"@obj\na::1\n"}, 0, "@obj\na::1\n"},
        MergeCase{"UnterminatedLastLine", {"a::1\nb::2"}, 0, "@obj\na::1\nb::2\n"},
        MergeCase{"ColonsInValue", {"u::http://h:80/\n"}, 0, "@obj\nu::http://h:80/\n"},
        MergeCase{"EncodingsKept",
                  {"j:json:{\"x\":1}\nc:c:a\\nb\n"},
                  0,
                  "@obj\nj:json:{\"x\":1}\nc:c:a\\nb\n"},
        MergeCase{"NopersistShown", {"[n]a::1\n", "[-n]b::2\n"}, 0, "@obj\n[n]a::1\nb::2\n"},
        MergeCase{"NopersistKeptWhenAbsent", {"[n]a::1\n", "a::2\n"}, 0, "@obj\n[n]a::2\n"},
        MergeCase{"NopersistCleared", {"[n]a::1\n", "[-n]a::2\n"}, 0, "@obj\na::2\n"},
        MergeCase{"ObjectQualifier", {"[n]@obj\na::1\n"}, 0, "[n]@obj\na::1\n"},
        MergeCase{"ItemsAddOnce",
                  {"[i]t::hammer,\n", "[i]t::hammer,\n", "[i]t::saw,\n"},
                  0,
                  "@obj\nt::hammer,saw,\n"},
        MergeCase{"ItemRemoved", {"[i]t::a,\n[i]t::b,\n", "[-i]t::a,\n"}, 0, "@obj\nt::b,\n"},
        MergeCase{"NotPpsText", {"a::1\n", "a::2\nnonsense\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"OtherObject", {"a::1\n", "@other\na::2\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"Notification", {"a::1\n", "a::2\n#@obj\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"BadAttributeName", {"a::1\n", "9a::2\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"OneColon", {"a::1\n", "a:2\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"NulByte", {"a::1\n", kNul}, EINVAL, "@obj\na::1\n"},
        MergeCase{"UnknownQualifier", {"a::1\n", "[z]a::2\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"ItemWithoutSeparator", {"a::1\n", "[i]t::\n"}, EINVAL, "@obj\na::1\n"},
        MergeCase{"TooLargeForOneWrite", {"a::1\n", kHuge}, EFBIG, "@obj\na::1\n"}),
    [](const ::testing::TestParamInfo<MergeCase> &info) { return info.param.name; });

TEST_F(ObjectTest, FullModeReadsTheObjectOncePerChange) {
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    Fd r = Open("obj", O_RDONLY);
    ASSERT_TRUE(PollIn(r.get()));
    EXPECT_EQ(ReadOnce(r.get()).text, "@obj\na::1\n");
    EXPECT_FALSE(PollIn(r.get()));
    Rd empty = ReadOnce(r.get());
    EXPECT_EQ(empty.n, 0);
    // Two changes before the next read collapse into one copy.
    ASSERT_EQ(WriteText(w.get(), "b::2\n"), 0);
    ASSERT_EQ(WriteText(w.get(), "a::3\n"), 0);
    ASSERT_TRUE(PollIn(r.get()));
    EXPECT_EQ(ReadOnce(r.get()).text, "@obj\na::3\nb::2\n");
    EXPECT_EQ(ReadOnce(r.get()).n, 0);
    // A write that changes nothing is no change.
    ASSERT_EQ(WriteText(w.get(), "-missing\n"), 0);
    EXPECT_FALSE(PollIn(r.get()));
    // Emptied with O_TRUNC, then ftruncate: "#@" heads the copy.
    Fd t = Open("obj", O_WRONLY | O_TRUNC);
    ASSERT_GE(t.get(), 0);
    EXPECT_EQ(ReadOnce(r.get()).text, "#@obj\n");
    ASSERT_EQ(WriteText(w.get(), "c::4\n"), 0);
    ASSERT_EQ(ftruncate(w.get(), 100), 0);
    EXPECT_EQ(ReadOnce(r.get()).text, "#@obj\n");
    // Deleted: "-@" once, then nothing.
    ASSERT_EQ(unlink(P("obj").c_str()), 0);
    ASSERT_TRUE(PollIn(r.get()));
    EXPECT_EQ(ReadOnce(r.get()).text, "-@obj\n");
    EXPECT_EQ(ReadOnce(r.get()).n, 0);
}

TEST_F(ObjectTest, DeltaModeQueuesChangeGroups) {
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    ASSERT_EQ(WriteText(w.get(), "a::1\nb::2\n"), 0);
    Fd d = Open("obj?delta", O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(WriteText(w.get(), "c::3\n"), 0);
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\na::1\nb::2\nc::3\n");
    Rd none = ReadOnce(d.get());
    EXPECT_EQ(none.n, -1);
    EXPECT_EQ(none.err, EAGAIN);
    EXPECT_FALSE(PollIn(d.get()));
    ASSERT_EQ(WriteText(w.get(), "a::4\n"), 0);
    ASSERT_EQ(WriteText(w.get(), "-b\nd::5\n"), 0);
    ASSERT_TRUE(PollIn(d.get()));
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\na::4\n@obj\n-b\nd::5\n");
    // Groups that do not fit the buffer come in later reads, none cut but
    // one longer than the buffer, whose rest follows.
    ASSERT_EQ(WriteText(w.get(), "a::6\n"), 0);
    ASSERT_EQ(WriteText(w.get(), "long::0123456789\n"), 0);
    EXPECT_EQ(ReadOnce(d.get(), 12).text, "@obj\na::6\n");
    EXPECT_EQ(ReadOnce(d.get(), 12).text, "@obj\nlong::0");
    EXPECT_EQ(ReadOnce(d.get(), 12).text, "123456789\n");
    EXPECT_FALSE(PollIn(d.get()));
    ASSERT_EQ(ftruncate(w.get(), 0), 0);
    EXPECT_EQ(ReadOnce(d.get()).text, "#@obj\n");
    // Without O_NONBLOCK or ?wait an empty delta read is end of file, so
    // that cat ends.
    Fd plain = Open("obj?delta", O_RDONLY);
    EXPECT_EQ(ReadOnce(plain.get()).text, "@obj\n");
    EXPECT_EQ(ReadOnce(plain.get()).n, 0);
    ASSERT_EQ(unlink(P("obj").c_str()), 0);
    EXPECT_EQ(ReadOnce(d.get()).text, "-@obj\n");
    EXPECT_EQ(ReadOnce(d.get()).n, 0);
}

TEST_F(ObjectTest, FiltersPickAttributes) {
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    ASSERT_EQ(WriteText(w.get(), "a::1\nb::2\nc::3\nn:n:50\n"), 0);
    Fd d = Open("obj?delta,f=a+-b+n>10", O_RDONLY | O_NONBLOCK);
    Fd full = Open("obj?f=a", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(d.get(), 0);
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\na::1\nn:n:50\n");
    EXPECT_EQ(ReadOnce(full.get()).text, "@obj\na::1\nb::2\nc::3\nn:n:50\n");
    struct Step {
        const char *write;
        const char *delta;  // "" when the delta open stays unreadable
        bool full_readable;
    } steps[] = {
        {"c::4\nb::5\n", "", false},
        {"n:n:5\n", "", false},
        {"n:n:11\nc::6\n", "@obj\nn:n:11\n", false},
        {"-b\n", "@obj\n-b\n", false},
        {"a::7\nc::8\n", "@obj\na::7\n", true},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.write);
        ASSERT_EQ(WriteText(w.get(), s.write), 0);
        EXPECT_EQ(PollIn(d.get()), *s.delta != '\0');
        if (*s.delta != '\0') {
            EXPECT_EQ(ReadOnce(d.get()).text, s.delta);
        }
        EXPECT_EQ(PollIn(full.get()), s.full_readable);
    }
    EXPECT_EQ(ReadOnce(full.get()).text, "@obj\na::7\nc::8\nn:n:11\n");
}

TEST_F(ObjectTest, WaitBlocksUntilThereIsDataAndAnInterruptEndsIt) {
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    Fd d = Open("obj?delta,wait", O_RDONLY);
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\n");
    std::string got;
    std::thread reader([&] { got = ReadOnce(d.get()).text; });
    // Another open is served while the reader waits.
    EXPECT_EQ(Cat("obj"), "@obj\n");
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    reader.join();
    EXPECT_EQ(got, "@obj\na::1\n");

    // A signal ends a waiting read with EINTR (no SA_RESTART).
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    Rd interrupted{0, 0, ""};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        interrupted = ReadOnce(d.get());
        done = true;
    });
    // A signal that comes before the read starts is simply taken; the next
    // one interrupts the waiting read.
    while (!done) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        usleep(10000);
    }
    waiter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(interrupted.n, -1);
    EXPECT_EQ(interrupted.err, EINTR);

    // A process killed while it waits does not hold anything up.
    char ready = 0;
    pid_t child = StartChild(
        [&](int fd) {
            int obj = open(P("obj?wait,delta").c_str(), O_RDONLY);
            char buf[256];
            (void)!read(obj, buf, sizeof buf);  // the whole object
            (void)!write(fd, "r", 1);
            (void)!read(obj, buf, sizeof buf);  // waits
        },
        &ready);
    ASSERT_EQ(ready, 'r');
    EXPECT_TRUE(WIFSIGNALED(KillChild(child)));
    EXPECT_EQ(Cat("obj"), "@obj\na::1\n");
}

TEST_F(ObjectTest, CriticalCloseDeletesNonpersistentAttributes) {
    Fd w = Open("obj?critical", O_WRONLY | O_CREAT);
    ASSERT_EQ(WriteText(w.get(), "[n]a::1\nb::2\n"), 0);
    Fd full = Open("obj", O_RDONLY);
    Fd d = Open("obj?delta", O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(ReadOnce(full.get()).text, "@obj\n[n]a::1\nb::2\n");
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\n[n]a::1\nb::2\n");
    w.Reset();
    EXPECT_EQ(ReadOnce(full.get()).text, "*@obj\nb::2\n");
    EXPECT_EQ(ReadOnce(d.get()).text, "*@obj\n");

    // A nonpersistent object loses every attribute, also when its critical
    // publisher is killed.
    char ready = 0;
    pid_t child = StartChild(
        [&](int fd) {
            int np = open(P("np?nopersist,critical").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
            (void)!write(np, "a::1\nb::2\n", 10);
            (void)!write(fd, "r", 1);
        },
        &ready);
    ASSERT_EQ(ready, 'r');
    Fd r = Open("np", O_RDONLY);
    EXPECT_EQ(ReadOnce(r.get()).text, "@np\na::1\nb::2\n");
    KillChild(child);
    ASSERT_TRUE(PollIn(r.get(), 10000));
    EXPECT_EQ(ReadOnce(r.get()).text, "*@np\n");
}

TEST_F(ObjectTest, ModesAndOwnersAreKeptAndEnforced) {
    const uid_t kNobody = 65534;
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    ASSERT_GE(Open("d/private", O_WRONLY | O_CREAT, 0600).get(), 0);
    ASSERT_GE(Open("d/shared", O_WRONLY | O_CREAT, 0666).get(), 0);
    ASSERT_EQ(chmod(P("d/shared").c_str(), 0666), 0);  // past the test's umask
    ASSERT_GE(Open("d/given", O_WRONLY | O_CREAT, 0600).get(), 0);
    ASSERT_EQ(chown(P("d/given").c_str(), kNobody, kNobody), 0);
    struct stat st;
    ASSERT_EQ(stat(P("d/given?delta").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    struct Case {
        const char *what;
        std::function<int()> call;
        int err;  // 0: succeeds
    } cases[] = {
        {"read private", [&] { return open(P("d/private").c_str(), O_RDONLY); }, EACCES},
        {"qualified private", [&] { return open(P("d/private?delta").c_str(), O_RDONLY); }, EACCES},
        {"unlink in root's dir", [&] { return unlink(P("d/shared").c_str()); }, EACCES},
        {"create in root's dir", [&] { return open(P("d/new").c_str(), O_WRONLY | O_CREAT, 0666); },
         EACCES},
        {"chmod root's object", [&] { return chmod(P("d/shared").c_str(), 0600); }, EPERM},
        {"write shared",
         [&] {
             int fd = open(P("d/shared").c_str(), O_WRONLY);
             return fd < 0 ? -1 : (write(fd, "u::1\n", 5) == 5 ? 0 : -1);
         },
         0},
        {"own object", [&] { return open(P("d/given").c_str(), O_RDWR); }, 0},
        {"chmod own object", [&] { return chmod(P("d/given").c_str(), 0640); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int got = AsUser(kNobody, kNobody, [&] {
            errno = 0;
            int rc = c.call();
            return rc >= 0 ? 0 : errno;
        });
        EXPECT_EQ(got, c.err);
    }
    EXPECT_EQ(Cat("d/shared"), "@shared\nu::1\n");
    ASSERT_EQ(stat(P("d/given").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ObjectTest, PersistentObjectsSurviveARestart) {
    std::string save = dir_.substr(0, dir_.rfind('/')) + "/saved";
    Unmount();
    Mount({"--persist", save});
    ASSERT_EQ(mkdir(P("d").c_str(), 0750), 0);
    {
        Fd a = Open("d/a", O_WRONLY | O_CREAT, 0640);
        ASSERT_EQ(WriteText(a.get(), "x::1\n[n]y::2\nj:json:{\"k\":[1,2]}\n"), 0);
        Fd b = Open("d/b?nopersist", O_WRONLY | O_CREAT);
        ASSERT_EQ(WriteText(b.get(), "z::3\n"), 0);
        Fd c = Open("c", O_WRONLY | O_CREAT);
        ASSERT_EQ(WriteText(c.get(), "[n]@c\nw::4\n"), 0);
        Fd gone = Open("gone", O_WRONLY | O_CREAT);
        ASSERT_EQ(fsync(gone.get()), 0);  // saved now, deleted before the save at exit
    }
    ASSERT_EQ(unlink(P("gone").c_str()), 0);
    Unmount(/*sigterm=*/true);
    Mount({"--persist", save});
    EXPECT_EQ(Cat("d/a"), "@a\nx::1\nj:json:{\"k\":[1,2]}\n");
    struct stat st;
    ASSERT_EQ(stat(P("d/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(P("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    for (const char *missing : {"d/b", "c", "gone"}) {
        SCOPED_TRACE(missing);
        EXPECT_EQ(stat(P(missing).c_str(), &st), -1);
        EXPECT_EQ(errno, ENOENT);
    }
}

}  // namespace
}  // namespace ppsfs_test
