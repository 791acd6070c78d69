// SPDX-License-Identifier: BSD-2-Clause
// Every saved input of the fuzz targets (the seed corpora and the inputs
// that once found a fault) runs through the targets' own code here, under
// the ordinary build and the sanitizer build alike.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "devkit/bytes.h"
#include "fuzz/harness.h"

namespace kovari::fuzz {
namespace {

namespace fs = std::filesystem;
using devkit::Bytes;

std::vector<fs::path> saved_inputs(const std::string& target)
{
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(FUZZ_DIR) / kind / target;
        if (fs::is_directory(dir))
            for (const auto& e : fs::directory_iterator(dir))
                if (e.is_regular_file())
                    files.push_back(e.path());
    }
    return files;
}

Bytes contents(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(FuzzReplay, EverySavedRequestInputPassesItsChecks)
{
    const auto files = saved_inputs("fuzz_request");
    ASSERT_GE(files.size(), 15u);
    for (const auto& f : files) {
        RequestState st;
        const Bytes in = contents(f);
        EXPECT_EQ(run_request_input(st, in.data(), in.size()), nullptr) << f;
    }
}

TEST(FuzzReplay, EverySavedQueryInputPassesItsChecks)
{
    const auto files = saved_inputs("fuzz_query");
    ASSERT_GE(files.size(), 5u);
    for (const auto& f : files) {
        const Bytes in = contents(f);
        EXPECT_EQ(run_query_input(in.data(), in.size()), nullptr) << f;
    }
}

TEST(FuzzReplay, EverySavedReplyInputPassesItsChecks)
{
    const auto files = saved_inputs("fuzz_reply");
    ASSERT_GE(files.size(), 10u);
    for (const auto& f : files) {
        const Bytes in = contents(f);
        EXPECT_EQ(run_reply_input(in.data(), in.size()), nullptr) << f;
    }
}

// The whole reply of the one-site example: 68 bytes.
Bytes example_reply()
{
    Bytes r = {0x81, 0xCA, 0x00, 0x10, 0xAA, 0xBB, 0xCC, 0xDD};
    auto item = [&](std::uint8_t type, const std::string& text) {
        r.push_back(type);
        r.push_back(std::uint8_t(text.size()));
        r.insert(r.end(), text.begin(), text.end());
    };
    item(kItemCNAME, "ann");
    item(kItemNAME, "Anne Lee");
    item(kItemEMAIL, "Ann.Lee");
    item(kItemPRIV, "\1P2076");
    item(kItemPRIV, "\1I10.0.0.1");
    item(kItemPRIV, "\1T870000000");
    r.insert(r.end(), {0, 0, 0});
    return r;
}

TEST(MatchReplyCheck, AcceptsTheServersReplyAndRejectsEachKindOfDamage)
{
    std::size_t chunks = 0;
    ASSERT_EQ(example_reply().size(), 68u);
    EXPECT_EQ(check_match_reply(example_reply(), chunks), nullptr);
    EXPECT_EQ(chunks, 1u);
    EXPECT_EQ(check_match_reply(Bytes{0x80, 0xCA, 0, 0}, chunks), nullptr);
    EXPECT_EQ(chunks, 0u);

    const struct {
        const char* what;
        void (*damage)(Bytes&);
        const char* expect;
    } cases[] = {
        {"count says two", [](Bytes& r) { r[0] = 0x82; }, "match reply ends inside an SSRC"},
        {"count says none", [](Bytes& r) { r[0] = 0x80; }, "match reply holds more than its chunk count"},
        {"length field off", [](Bytes& r) { r[3] = 0x11; }, "match reply length field does not give its size"},
        {"not SDES", [](Bytes& r) { r[1] = 0xCC; }, "match reply header is wrong"},
        {"NAME of 49", [](Bytes& r) { r[14] = 49; }, "match reply item text is empty or longer than 48"},
        {"NAME before CNAME", [](Bytes& r) { r[8] = kItemNAME; }, "match reply items are out of order"},
        {"I before P", [](Bytes& r) { r[35] = 'I'; }, "match reply private items are not P, I, T"},
        {"alignment not zero", [](Bytes& r) { r[67] = 1; }, "match reply chunk alignment is not zero bytes"},
        {"past the cap", [](Bytes& r) { r.resize(516, 0); put_length_field(r, 516); },
         "match reply size is not a multiple of 4 between 4 and 512"},
    };
    for (const auto& c : cases) {
        Bytes r = example_reply();
        c.damage(r);
        const char* got = check_match_reply(r, chunks);
        ASSERT_NE(got, nullptr) << c.what;
        EXPECT_STREQ(got, c.expect) << c.what;
    }
}

}  // namespace
}  // namespace kovari::fuzz
