// Programs that link the library, as other programs on the device do.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "fixture.h"

namespace {

using upfw::test::read_env_copy;
using upfw::test::run_program;
using upfw::test::TempRoot;

TEST(Library, AProgramsOwnCrc32NeverReachesTheEnvironment) {
    std::istringstream programs(UPFW_OWN_CRC32_PROGRAMS);
    std::string program;
    int seen = 0;
    while (programs >> program) {
        ++seen;
        TempRoot r;
        const std::string sn = read_env_copy(r.path(), 0).get("sn");
        auto out = run_program(program, {});
        EXPECT_EQ(out.result, 0) << program << "\n" << out.err;
        EXPECT_EQ(out.err, "") << program;
        // Both copies valid, the serial number kept, the new variable there.
        for (int copy : {0, 1}) {
            const auto c = read_env_copy(r.path(), copy);
            EXPECT_TRUE(c.crc_ok) << program << " copy " << copy;
            EXPECT_EQ(c.get("sn"), sn) << program;
            EXPECT_EQ(c.get("wifiip"), "10.9.8.7") << program;
        }
    }
    EXPECT_GT(seen, 0);
}

}  // namespace
