// The power-cut campaign of whole updates on the simulated device.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "upfw/env.h"

namespace {

using upfw::test::append_file;
using upfw::test::capture;
using upfw::test::make_image;
using upfw::test::read_file;
using upfw::test::run_update;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

// The power-cut campaign. A whole update that writes the boot loader, the base parameters,
// the logo, the kernel and the root filesystem, on a board whose environment lives on NAND,
// with factory bad blocks in the target partitions and a block going bad while written. The
// power is cut after every flash operation, plainly and with that operation torn, then
// restored: the device boots what the environment names and the same update runs again.
// Everything on flash is judged by readers apart from the library.

constexpr uint32_t ver(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

// Partitions an update writes, with the image entry that goes there.
struct Target {
    int part, entry;
};
constexpr Target kTargets[] = {{0, 0}, {2, 4}, {3, 5}, {4, 1}, {5, 1}, {6, 2}, {7, 2}};

// A release of all five components, told apart by tag and build number.
std::vector<TestEntry> release(char tag, unsigned build) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", std::string(3000 + build, tag), ver(72, 1, 1, 20 + build)};
    e[1] = {"ker", "KERNEL" + std::string(3 * 2048 + 94 + build, tag), ver(72, 1, 0, build)};
    e[2] = {"fs", "ROOTFS" + std::string(5 * 2048 - 6 + build, tag), ver(72, 9, 1, build)};
    e[4] = {"param", std::string(2 * 2048 + 50 + build, tag), ver(72, 0, 0, 1 + build)};
    e[5] = {"jpg", std::string(3 * 2048 + build, tag), ver(72, 0, 0, 100 + build)};
    return e;
}

enum State { kOld, kFirst, kSecond, kOther };
const char *const kStateNames[] = {"as before", "the first image", "the second image", "neither"};

struct CutVariant {
    const char *name;
    int slot;      // running slot
    bool pending;  // a first update completed, not rebooted into, before the cut one
};

class Campaign {
public:
    explicit Campaign(const CutVariant &v) : v_(v), root_(board(v.slot)), first_(release('a', 10)), second_(release('b', 11)) {
        EXPECT_EQ(root_.error(), "");
        for (const Target &t : kTargets) {
            // Factory contents that the factory records describe.
            std::string bytes = read_file(dev(t.part));
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 13 * t.part) >> 4);
            write_file(dev(t.part), bytes);
            initial_[t.part] = bytes;
            initial_record_[t.part] = upfw::test::boot_env(root_.path()).get(upfw::test::kPartNames[t.part]);
        }
        // A block of each root filesystem partition goes bad when written.
        for (int part : {6, 7}) append_file(dev(part) + ".mtd", "weak=0\n");
        write_file(root_.at("/first.img"), make_image(first_));
        write_file(root_.at("/second.img"), make_image(second_));
        if (v_.pending) {
            EXPECT_EQ(run_update({"-u", root_.at("/first.img")}).result, 0);
        }
        snapshot_ = files();
    }
    // Puts the device back as it was set up: every file's bytes, and no file added since.
    void reset() const {
        for (const auto &f : files())
            if (!snapshot_.count(f.first)) ::unlink(f.first.c_str());
        for (const auto &f : snapshot_) write_file(f.first, f.second);
    }
    const TempRoot &root() const { return root_; }
    // The image of the update that is cut.
    std::string image() const { return root_.at(v_.pending ? "/second.img" : "/first.img"); }

    // What partition part holds now.
    State state(int part) const {
        const std::string bytes = read_file(dev(part));
        if (bytes == initial_.at(part)) return kOld;
        const std::string good = good_blocks(part, bytes);
        const int entry = entry_of(part);
        if (good.compare(0, first_[entry].data.size(), first_[entry].data) == 0) return kFirst;
        if (good.compare(0, second_[entry].data.size(), second_[entry].data) == 0) return kSecond;
        return kOther;
    }
    // The state a complete record describes, or kOther when it describes none of them.
    State described(int part, const upfw::test::Record &rec) const {
        const int entry = entry_of(part);
        const auto old = upfw::test::parse_record(initial_record_.at(part));
        if (rec.ver == old.ver && rec.size == old.size) return kOld;
        if (rec.ver == first_[entry].version && rec.size == first_[entry].data.size()) return kFirst;
        if (rec.ver == second_[entry].version && rec.size == second_[entry].data.size()) return kSecond;
        return kOther;
    }

    // Checks the device as the next boot finds it; after_rerun: the update has been run again
    // to its end. Reports each fault found; true when there was none.
    bool check(const std::string &at, bool after_rerun) const {
        bool ok = true;
        auto expect = [&](bool cond, const std::string &what) {
            if (!cond) ADD_FAILURE() << at << ": " << what;
            ok = ok && cond;
        };
        const auto env = upfw::test::boot_env(root_.path());
        expect(env.crc_ok, "no environment copy is valid");
        if (!env.crc_ok) return false;
        const std::string args = env.get("bootargs"), cmd = env.get("bootcmd");
        const size_t fs_at = args.find("=fs"), ker_at = cmd.find("ker");
        expect(fs_at != std::string::npos && ker_at != std::string::npos, "the boot variables name no slot");
        if (!ok) return false;
        const char slot = args[fs_at + 3];
        expect(cmd[ker_at + 3] == slot, "bootargs and bootcmd name different slots: " + args + " / " + cmd);
        expect(slot == '1' || slot == '2', "the boot variables name no slot");
        if (!ok) return false;

        // The slot running before the cut is never touched.
        const int run_ker = v_.slot == 1 ? 4 : 5, run_fs = v_.slot == 1 ? 6 : 7;
        if (!after_rerun) {
            expect(state(run_ker) == kOld && state(run_fs) == kOld, "the running slot was written");
        }
        // The named slot holds a complete system: the old one where it was running, else one
        // of the images written to it, kernel and root filesystem of the same one.
        const int ker = slot == '1' ? 4 : 5, fs = slot == '1' ? 6 : 7;
        const State k = state(ker), f = state(fs);
        expect(k == f, std::string("the kernel is ") + kStateNames[k] + ", the root filesystem " + kStateNames[f]);
        const State latest = v_.pending ? kSecond : kFirst;
        if (after_rerun) {
            expect(k == latest, std::string("the slot booted after the rerun holds ") + kStateNames[k]);
        } else if (slot - '0' == v_.slot) {
            expect(k == kOld, std::string("the running slot holds ") + kStateNames[k]);
        } else {
            expect(k == latest || (v_.pending && k == kFirst), std::string("the new slot holds ") + kStateNames[k]);
        }
        // No record claims what is not on flash.
        for (const Target &t : kTargets) {
            const std::string name = upfw::test::kPartNames[t.part];
            const auto rec = upfw::test::parse_record(env.get(name));
            const State s = state(t.part);
            if (rec.incomplete) {
                expect(!after_rerun, "the record of " + name + " is still incomplete after the rerun");
                expect(rec.fields == 4 && rec.ver == 0 && rec.size == 0 && rec.date == 0,
                       "the incomplete record of " + name + " states a version or size");
                continue;
            }
            const State d = described(t.part, rec);
            expect(d == s, "the record of " + name + " describes " + kStateNames[d] + ", the partition holds " +
                               kStateNames[s]);
        }
        if (after_rerun) {
            for (int part : {0, 2, 3})
                expect(state(part) == latest, std::string("after the rerun ") + upfw::test::kPartNames[part] +
                                                  " holds " + kStateNames[state(part)]);
        }
        return ok;
    }

private:
    static upfw::sim::Options board(int slot) {
        upfw::sim::Options opt;
        opt.slot = slot;
        opt.env_nand = true;
        opt.sizes["env"] = 0x30000;
        opt.bad["env"] = {2};  // a spare block: a bad block under a copy refuses the environment
        opt.sizes["uboot"] = 0x20000;
        for (const char *p : {"baseparam", "logo"}) opt.sizes[p] = 0x40000;
        for (const char *p : {"ker1", "ker2", "fs1", "fs2"}) opt.sizes[p] = 0x60000;
        opt.bad["logo"] = {0};
        for (const char *p : {"ker1", "ker2"}) opt.bad[p] = {0};
        for (const char *p : {"fs1", "fs2"}) opt.bad[p] = {1};
        return opt;
    }
    std::string dev(int part) const { return root_.at("/dev/mtd" + std::to_string(part)); }
    // Every regular file of the device, by path.
    std::map<std::string, std::string> files() const {
        static std::vector<std::string> *found;
        std::vector<std::string> paths;
        found = &paths;
        ::nftw(root_.path().c_str(),
               [](const char *p, const struct stat *st, int, struct FTW *) {
                   if (S_ISREG(st->st_mode)) found->push_back(p);
                   return 0;
               },
               16, FTW_PHYS);
        std::map<std::string, std::string> out;
        for (const auto &p : paths) out[p] = read_file(p);
        return out;
    }
    static int entry_of(int part) {
        for (const Target &t : kTargets)
            if (t.part == part) return t.entry;
        return -1;
    }
    // The partition's good blocks, in order, by its description as it is now.
    std::string good_blocks(int part, const std::string &bytes) const {
        std::istringstream desc(read_file(dev(part) + ".mtd"));
        std::string line;
        size_t erase = 0x10000;
        std::vector<size_t> bad;
        while (std::getline(desc, line)) {
            if (line.rfind("erasesize=", 0) == 0) erase = std::stoul(line.substr(10), nullptr, 0);
            if (line.rfind("bad=", 0) == 0) {
                std::istringstream list(line.substr(4));
                std::string item;
                while (std::getline(list, item, ','))
                    if (!item.empty()) bad.push_back(std::stoul(item));
            }
        }
        std::string good;
        for (size_t b = 0; b * erase < bytes.size(); ++b)
            if (std::find(bad.begin(), bad.end(), b) == bad.end()) good += bytes.substr(b * erase, erase);
        return good;
    }

    CutVariant v_;
    TempRoot root_;
    std::vector<TestEntry> first_, second_;
    std::map<int, std::string> initial_, initial_record_;
    std::map<std::string, std::string> snapshot_;
};

// Flash operations of the update that the campaign cuts.
int count_operations(const Campaign &c) {
    write_file(c.root().at("/sim/flash.log"), "");
    EXPECT_EQ(run_update({"-u", c.image()}).result, 0);
    const std::string log = read_file(c.root().at("/sim/flash.log"));
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

TEST(PowerCut, AtEveryFlashOperationThenTheUpdateAgain) {
    const CutVariant variants[] = {
        {"slot 1 to 2", 1, false},
        {"slot 2 to 1", 2, false},
        {"a second update before the reboot", 1, true},
    };
    int points = 0, recovered = 0, bricked = 0;
    for (const CutVariant &v : variants) {
        Campaign c(v);
        const TempRoot &r = c.root();
        const int total = count_operations(c);
        ASSERT_GT(total, 40) << v.name;
        for (bool tear : {false, true}) {
            for (int n = 0; n < total; ++n) {
                const std::string at = std::string(v.name) + ", cut after operation " + std::to_string(n) +
                                       (tear ? " (torn)" : "");
                c.reset();
                write_file(r.at("/sim/powercut"), "after=" + std::to_string(n) + (tear ? "\ntear=1\n" : "\n"));
                EXPECT_EQ(run_update({"-u", c.image()}).result, 128 + 9) << at;  // killed mid-run
                // Power restored: the boot loader boots what is stored.
                EXPECT_EQ(upfw::sim::power_on(r.path()), 0) << at;
                ++points;

                // The tool reads the environment as the boot loader does.
                auto load = capture([] { return env_init(); });
                EXPECT_EQ(load.result, 0) << at << load.err;
                const char *args = hs_getenv("bootargs");
                EXPECT_EQ(args ? args : "", upfw::test::boot_env(r.path()).get("bootargs")) << at;
                env_deinit();
                const bool sound = c.check(at, false);
                if (c.state(0) == kOther) ++bricked;

                // The update runs again.
                auto again = run_update({"-u", c.image()});
                EXPECT_EQ(again.result, 0) << at << "\n" << again.err;
                if (c.check(at + ", after the rerun", true) && sound && again.result == 0) ++recovered;
            }
        }
    }
    std::printf("power-cut campaign: %d cut points, %d recovered, %d bricked by the boot loader window\n", points,
                recovered, bricked);
    EXPECT_EQ(recovered, points);
    EXPECT_GT(bricked, 0);  // the single boot-loader copy: the window this campaign must see
}

}  // namespace
