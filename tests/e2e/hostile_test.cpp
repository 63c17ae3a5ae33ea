// A hostile local user against the system as it is deployed: every case
// runs its attack as an unprivileged uid (nobody, no groups) in the test's
// own mount namespace and checks that it takes no file, no memory, no other
// client's answer and no server it does not own. One case per way in.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

using HostileTest = PpsfsTest;

const uid_t kNobody = 65534;

std::set<std::string> Names(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d)) names.insert(de->d_name);
        closedir(d);
    }
    return names;
}

// An object's owner against ppsfs's save tree (-p), which ppsfs, as root,
// writes, chowns and cleans up: nobody cannot enter it, and links planted
// in it (as nobody could, while its files and directories were given the
// objects' owners) are replaced or unlinked, never written through or
// descended into.
TEST_F(HostileTest, SaveTreeIsClosedAndItsLinksAreNeverFollowed) {
    const std::string save = base_ + "/saved", outside = base_ + "/outside";
    const std::string target = outside + "/target";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::ofstream(target) << "root's own\n";
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    auto outside_unchanged = [&] {
        struct stat st;
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(testsupport::ReadFile(target), "root's own\n");
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, 0u);
        ASSERT_EQ(stat(outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(Names(outside), (std::set<std::string>{".", "..", "target"}));
    };

    Unmount();
    Mount({"--persist", save});
    for (const char *d : {"d", "e"}) {  // directories nobody owns
        ASSERT_EQ(mkdir(P(d).c_str(), 0755), 0);
        ASSERT_EQ(chown(P(d).c_str(), kNobody, kNobody), 0);
    }
    auto save_obj = [&] {
        return AsNobody([&] {
            Fd o = Open("d/obj", O_WRONLY | O_CREAT, 0644);
            return o.get() >= 0 && WriteText(o.get(), "a::1\n") == 0 && fsync(o.get()) == 0 ? 0 : 1;
        });
    };
    ASSERT_EQ(save_obj(), 0);
    struct stat st;
    ASSERT_EQ(stat(save.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    struct {
        const char *what;
        std::function<int()> call;  // -1 and errno on failure
    } attempts[] = {
        {"list the tree",
         [&] {
             DIR *d = opendir(save.c_str());
             if (d != nullptr) closedir(d);
             return d != nullptr ? 0 : -1;
         }},
        {"read the saved object", [&] { return open((save + "/d/obj").c_str(), O_RDONLY); }},
        {"plant obj@ppsfs-tmp",
         [&] { return symlink(target.c_str(), (save + "/d/obj@ppsfs-tmp").c_str()); }},
        {"plant a directory link", [&] { return symlink(outside.c_str(), (save + "/e").c_str()); }},
        {"move the saved object aside",
         [&] { return rename((save + "/d/obj").c_str(), (save + "/d/x").c_str()); }},
    };
    for (const auto &a : attempts) {
        SCOPED_TRACE(a.what);
        EXPECT_EQ(AsNobody([&] { return a.call() >= 0 ? 0 : errno; }), EACCES);
    }

    // Links already in the tree (put there as root, as nobody could before
    // the tree was closed): at the temporaries' names, in place of the
    // saved object and of a directory's metadata, in place of a saved
    // directory, and one the tree no longer has, which the save removes.
    const std::string d = save + "/d";
    ASSERT_EQ(unlink((d + "/obj").c_str()), 0);
    ASSERT_EQ(unlink((d + "/@ppsfs-dir").c_str()), 0);
    for (const std::string &link : {d + "/obj", d + "/obj@ppsfs-tmp", d + "/@ppsfs-tmp",
                                    d + "/@ppsfs-dir", save + "/@ppsfs-tmp"})
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
    for (const std::string &link : {save + "/e", save + "/gone"})
        ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0) << link;
    ASSERT_EQ(save_obj(), 0);
    outside_unchanged();
    Unmount();  // saves everything
    outside_unchanged();
    ASSERT_EQ(lstat((d + "/obj").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(Names(save), (std::set<std::string>{".", "..", "d", "e"}));

    // Before the next start: the saved directory handed back to nobody and
    // opened to all (as earlier versions left it), a link in it, and a file
    // of nobody's whose header claims a root object.
    ASSERT_EQ(chown(d.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(d.c_str(), 0777), 0);
    ASSERT_EQ(symlink(target.c_str(), (d + "/planted").c_str()), 0);
    std::ofstream(d + "/forged") << "#ppsfs mode=4755 uid=0 gid=0\n@forged\nx::1\n";
    ASSERT_EQ(chown((d + "/forged").c_str(), kNobody, kNobody), 0);
    Mount({"--persist", save});
    ASSERT_EQ(stat(d.c_str(), &st), 0);  // taken back as it loads
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(Cat("d/obj"), "@obj\na::1\n");
    ASSERT_EQ(stat(P("d/obj").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    for (const char *skipped : {"d/planted", "d/forged"}) {
        SCOPED_TRACE(skipped);
        EXPECT_EQ(stat(P(skipped).c_str(), &st), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    Unmount();
    outside_unchanged();
    ASSERT_EQ(lstat((d + "/planted").c_str(), &st), 0);  // kept for someone to look at
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// ppsfs will not use a save directory that anyone but root or its own user
// could change (a link swapped in, or another user's entries): it says why
// and exits 1 before mounting.
TEST_F(HostileTest, SaveDirectoryOthersCouldChangeIsRefused) {
    const std::string real = base_ + "/real";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    auto dir = [&](const std::string &name, mode_t mode, uid_t owner) {
        std::string path = base_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);  // past the umask
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        return path;
    };
    struct {
        const char *what;
        std::function<std::string()> make;  // returns the -p argument
        std::string says;
    } cases[] = {
        {"world-writable", [&] { return dir("ww", 0777, 0); },
         "it is writable by group or others (mode 0777)"},
        {"group-writable", [&] { return dir("gw", 0770, 0); },
         "it is writable by group or others (mode 0770)"},
        {"another user's", [&] { return dir("nb", 0700, kNobody); },
         "it is owned by uid 65534, not by ppsfs's user (uid 0)"},
        {"a symbolic link",
         [&] {
             EXPECT_EQ(symlink(real.c_str(), (base_ + "/link").c_str()), 0);
             return base_ + "/link";
         },
         "it is a symbolic link"},
        {"in a world-writable directory", [&] { return dir("open", 0777, 0) + "/saved"; },
         base_ + "/open is writable by group or others"},
        {"in another user's directory", [&] { return dir("theirs", 0755, kNobody) + "/saved"; },
         base_ + "/theirs is owned by uid 65534 (it must be root's or ppsfs's user's)"},
        {"through a link",
         [&] {
             EXPECT_EQ(symlink(base_.c_str(), (base_ + "/up").c_str()), 0);
             return base_ + "/up/saved";
         },
         base_ + "/up is a symbolic link (give the path without links)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.make(), err = base_ + "/stderr";
        testsupport::Child ppsfs;
        ASSERT_TRUE(ppsfs.Start({PPSFS_BIN, "--foreground", "-p", path, dir_}, "", err));
        int status = ppsfs.Wait(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
        EXPECT_EQ(testsupport::ReadFile(err),
                  "ppsfs: save directory " + path + ": " + c.says + "\n");
    }
    EXPECT_EQ(Names(real), (std::set<std::string>{".", ".."}));
}

}  // namespace
}  // namespace ppsfs_test
