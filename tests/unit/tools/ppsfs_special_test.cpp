// SPDX-License-Identifier: Apache-2.0
// ppsfs's special files and open options through a real mount: .all of a
// directory in full, delta and deltadir mode, .notify groups, ?opens, and
// reads that take a whole object or change group or fail with EMSGSIZE.
#include <string>
#include <vector>

#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

class SpecialTest : public PpsfsTest {
  protected:
    void SetUp() override {
        PpsfsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
        Put("d/o1", "a::1\n");
        Put("d/o2", "b::2\n");
    }
    void Put(const std::string &rel, const std::string &text) {
        Fd w = Open(rel, O_WRONLY | O_CREAT);
        ASSERT_GE(w.get(), 0) << rel;
        ASSERT_EQ(WriteText(w.get(), text), 0) << rel;
    }
    // Everything an open has to read now, one read after another.
    static std::vector<std::string> Reads(int fd, std::size_t size = 65536) {
        std::vector<std::string> out;
        for (Rd r = ReadOnce(fd, size); r.n > 0; r = ReadOnce(fd, size)) out.push_back(r.text);
        return out;
    }
    using V = std::vector<std::string>;
};

// What each kind of .all open reads first, and after the same changes: an
// attribute written, an object created, truncated and deleted, a
// subdirectory made.
TEST_F(SpecialTest, AllFollowsEveryObjectOfItsDirectory) {
    struct {
        const char *open;
        V first, after;
    } cases[] = {
        {"d/.all",
         {"@o1\na::1\n", "@o2\nb::2\n"},
         {"@o1\na::1\nc::3\n", "-@o3\n", "#@o2\n"}},  // in the order of first change
        {"d/.all?delta",
         {"@o1\na::1\n@o2\nb::2\n"},
         {"@o1\nc::3\n+@o3\n@o3\nq::1\n#@o2\n-@o3\n+@sub\n"}},
        {"d/.all?delta,f=c", {"@o1\n@o2\n"}, {"@o1\nc::3\n+@o3\n#@o2\n-@o3\n+@sub\n"}},
        {"d/.all?deltadir", {"+@o1\n+@o2\n"}, {"+@o3\n-@o3\n+@sub\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.open);
        Fd all = Open(c.open, O_RDONLY | O_NONBLOCK);
        ASSERT_GE(all.get(), 0) << strerror(errno);
        EXPECT_EQ(Reads(all.get()), c.first);
        EXPECT_FALSE(PollIn(all.get()));
        Put("d/o1", "c::3\n");
        Put("d/o3", "q::1\n");
        ASSERT_EQ(truncate(P("d/o2").c_str(), 0), 0);
        ASSERT_EQ(unlink(P("d/o3").c_str()), 0);
        ASSERT_EQ(mkdir(P("d/sub").c_str(), 0755), 0);
        EXPECT_TRUE(PollIn(all.get()));
        EXPECT_EQ(Reads(all.get()), c.after);
        ASSERT_EQ(rmdir(P("d/sub").c_str()), 0);
        Put("d/o2", "b::2\n");
        Reads(all.get());
        Put("d/o1", "-c\n");
    }
    // Deleted and made again before a read: there to read, not deleted.
    Fd again = Open("d/.all", O_RDONLY | O_NONBLOCK);
    Reads(again.get());
    ASSERT_EQ(unlink(P("d/o2").c_str()), 0);
    Put("d/o2", "b::3\n");
    EXPECT_EQ(Reads(again.get()), V{"@o2\nb::3\n"});
    // Read-only (opens for writing are refused with the other refused
    // calls), whatever its directory's mode says.
    EXPECT_EQ(StatText(P("d/.all")), "file 0444 0:0");
}

// A notification group: its .notify open reads the group's name first,
// then "group:value" once for each member with data (until the member
// reads) and "-group:value" for a member closed.
TEST_F(SpecialTest, NotifyGroupsTellWhichMemberHasData) {
    Fd n = Open(".notify", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(n.get(), 0);
    std::string group = ReadOnce(n.get()).text;
    ASSERT_FALSE(group.empty());
    EXPECT_EQ(group.back(), '\n');
    group.pop_back();
    Fd m = Open("d/o1?delta,notify=" + group + ":water", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(m.get(), 0);
    EXPECT_EQ(Reads(n.get()), V{group + ":water\n"});  // the whole object to read
    Put("d/o1", "x::1\n");
    EXPECT_FALSE(PollIn(n.get()));  // said once until the member reads
    EXPECT_EQ(Reads(m.get()), V{"@o1\na::1\nx::1\n"});
    Put("d/o1", "x::2\n");
    EXPECT_EQ(Reads(n.get()), V{group + ":water\n"});
    m.Reset();
    EXPECT_EQ(Reads(n.get()), V{"-" + group + ":water\n"});
    // A group is its holder's; its lines are whole lines.
    EXPECT_EQ(AsNobody([&] {
                  return open(P("d/o1?notify=" + group + ":x").c_str(), O_RDONLY) < 0 ? errno : 0;
              }),
              EACCES);
    EXPECT_EQ(Open("d/o1?notify=" + group + ":a\nb", O_RDONLY).get(), -1);
    EXPECT_EQ(errno, EINVAL);
    n.Reset();  // the group ends with its open
    EXPECT_EQ(Open("d/o1?notify=" + group + ":water", O_RDONLY).get(), -1);
    EXPECT_EQ(errno, EINVAL);
}

// ?opens (on an open that may write) keeps "[n]_opens::readers,writers" on
// the object while such an open exists, changed (a change like any) as
// opens come and go; an _opens a writer set is not its to delete.
TEST_F(SpecialTest, OpensCountsReadersAndWriters) {
    EXPECT_EQ(Open("d/o1?opens", O_RDONLY).get(), -1);
    EXPECT_EQ(errno, EACCES);
    Fd tracker = Open("d/o1?opens,delta", O_RDWR | O_NONBLOCK);
    EXPECT_EQ(Reads(tracker.get()), V{"@o1\na::1\n[n]_opens::1,1\n"});
    Fd w = Open("d/o1", O_WRONLY);
    Fd r = Open("d/o1", O_RDONLY);
    EXPECT_EQ(Reads(tracker.get()), V{"@o1\n[n]_opens::1,2\n@o1\n[n]_opens::2,2\n"});
    r.Reset();
    tracker.Reset();
    EXPECT_EQ(Cat("d/o1"), "@o1\na::1\n");
    ASSERT_EQ(WriteText(w.get(), "_opens::mine\n"), 0);
    Open("d/o1", O_RDONLY).Reset();
    EXPECT_EQ(Cat("d/o1"), "@o1\na::1\n_opens::mine\n");
}

// A read takes a whole object or change group or fails with EMSGSIZE and
// loses nothing; the next read with room gets it whole.
TEST_F(SpecialTest, TooSmallReadsFailAndLoseNothing) {
    for (const char *open : {"d/o1", "d/o1?delta", "d/.all", "d/.all?delta"}) {
        SCOPED_TRACE(open);
        Fd r = Open(open, O_RDONLY | O_NONBLOCK);
        EXPECT_EQ(ReadOnce(r.get(), 8).err, EMSGSIZE);  // "@o1\na::1\n" is 9 bytes
        EXPECT_TRUE(PollIn(r.get()));
        EXPECT_EQ(ReadOnce(r.get(), 9).text, "@o1\na::1\n");
    }
    // An object stays under 1 MiB - 8 KiB, so a buffer of 1 MiB always
    // takes it whole in one read: larger writes fail with EFBIG.
    Fd w = Open("d/big", O_WRONLY | O_CREAT);
    const std::string half = "x::" + std::string(500 * 1024, 'x') + "\n";
    ASSERT_EQ(WriteText(w.get(), half), 0);
    EXPECT_EQ(WriteText(w.get(), "y" + half.substr(1)), 0);
    EXPECT_EQ(WriteText(w.get(), "z" + half.substr(1)), EFBIG);
    Fd r = Open("d/big", O_RDONLY);
    Rd whole = ReadOnce(r.get(), 2 << 20);
    EXPECT_EQ(whole.n, static_cast<ssize_t>(5 + 2 * half.size()));  // "@big\n" and both
    EXPECT_EQ(ReadOnce(r.get(), 100).n, 0);
}

}  // namespace
}  // namespace ppsfs_test
