// SPDX-License-Identifier: BSD-2-Clause
// The site table finds sites through hash indexes and a trigram index
// rather than by walking its list. These tests hold it to what the plain
// list does: order, replacement in place, which site a sign-off takes,
// expiry, and the sites a query selects, in table order.
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>

#include "devkit/sites.h"
#include "server/activity.h"
#include "server/match.h"
#include "server/query.h"
#include "tests/server_fixture.h"

using namespace kovari;
using namespace kovari::devkit;
using namespace kovari::testing;

namespace {

// The CNAMEs of the sites a lowered query selects, in the order given.
std::vector<std::string> found(const SiteTable& t, std::string_view query, std::size_t limit = 19)
{
    std::vector<std::uint32_t> slots(limit);
    const std::optional<std::size_t> n = table_find(t, query, slots.data(), limit);
    EXPECT_TRUE(n) << query;
    std::vector<std::string> v;
    for (std::size_t i = 0; i < n.value_or(0); ++i)
        v.emplace_back(*table_view(t, slots[i]).cname);
    return v;
}

// The SSRCs of the chunks of a match reply, in order.
std::vector<Ssrc> reply_ssrcs(const Bytes& reply)
{
    std::vector<Ssrc> v;
    std::size_t pos = 4;
    for (int k = 0; k < (reply[0] & 0x1f); ++k) {
        v.push_back({reply[pos], reply[pos + 1], reply[pos + 2], reply[pos + 3]});
        pos += 4;
        while (reply[pos] != 0)
            pos += 2 + reply[pos + 1];
        pos = (pos + 1 + 3) / 4 * 4;
    }
    return v;
}

using V = std::vector<std::string>;

// What an outsider who knew the hash key would announce: CNAMEs and SSRCs
// whose hashes under `key` agree in their low 12 bits, so that in an index
// of up to 4,096 cells they all start at one cell, the first two with
// equal 32-bit hashes, which only a comparison of the keys tells apart.
struct CollidingKeys {
    std::vector<std::string> cnames;
    std::vector<std::uint32_t> ssrcs;
};

template <typename Hash>
std::vector<std::uint32_t> colliding_numbers(Hash hash, std::size_t count)
{
    // Two with equal hashes among 2^18 numbers: a few pairs are there, by
    // the birthday bound.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> by_hash;
    for (std::uint32_t n = 0; n < 1u << 18; ++n)
        by_hash.emplace_back(hash(n), n);
    std::sort(by_hash.begin(), by_hash.end());
    std::vector<std::uint32_t> v;
    for (std::size_t i = 1; i < by_hash.size() && v.empty(); ++i)
        if (by_hash[i].first == by_hash[i - 1].first)
            v = {by_hash[i - 1].second, by_hash[i].second};
    const std::uint32_t low = v.empty() ? 0 : hash(v[0]) & 0xfff;
    for (std::uint32_t n = 1u << 18; v.size() < count; ++n)
        if ((hash(n) & 0xfff) == low)
            v.push_back(n);
    return v;
}

CollidingKeys colliding_keys(const HashKey& key, std::size_t cnames, std::size_t ssrcs)
{
    CollidingKeys k;
    const auto cname = [](std::uint32_t n) { return "c" + std::to_string(n); };
    for (std::uint32_t n : colliding_numbers([&](std::uint32_t n) { return hash_text(key, cname(n)); }, cnames))
        k.cnames.push_back(cname(n));
    k.ssrcs = colliding_numbers([&](std::uint32_t n) { return hash_ssrc(key, make_ssrc(n)); }, ssrcs);
    return k;
}

}  // namespace

TEST(SiteTableIndex, ReplacementsKeepOrderAndQueriesFollowIt)
{
    TestServer t;
    for (const char* c : {"a", "b", "c", "d"})
        enter_site(t.srv, site(c, {.email = std::string(c) + "@x"}), 1000, 0);
    // Replacements with other texts, another SSRC and the marker added.
    enter_site(t.srv, site("b", {.ssrc = 7, .name = "Bea", .email = "b.new@x"}), 1001, 0);
    enter_site(t.srv, site("*d", {.ssrc = 8, .email = "d@x"}), 1001, 0);
    EXPECT_EQ(t.cnames(), (V{"*d", "c", "b", "a"}));
    // Every listed site contains "@x"; the unlisted *d is left out.
    EXPECT_EQ(found(t.srv.table, "@x"), (V{"c", "b", "a"}));
    EXPECT_EQ(found(t.srv.table, "@x", 2), (V{"c", "b"}));
    // The replaced texts are searched, the old ones no longer.
    EXPECT_EQ(found(t.srv.table, "b.new"), V{"b"});
    EXPECT_EQ(found(t.srv.table, "bea"), V{"b"});
    EXPECT_EQ(found(t.srv.table, "b@x"), V{});
    const Bytes reply = t.reply_of(query_packet("@X"));
    EXPECT_EQ(reply_ssrcs(reply), (std::vector<Ssrc>{make_ssrc(1), make_ssrc(7), make_ssrc(1)}));
}

TEST(SiteTableIndex, SignOffTakesTheNearerSiteEvenWhenItsSsrcCameWithAReplacement)
{
    TestServer t;
    enter_site(t.srv, site("far", {.ssrc = 2}), 1000, 0);
    enter_site(t.srv, site("near"), 1000, 0);
    enter_site(t.srv, site("far", {.ssrc = 2}), 1000, 0);   // same SSRC again
    enter_site(t.srv, site("near", {.ssrc = 2}), 1000, 0);  // now both carry 2
    release_site(t.srv, make_ssrc(1), ipv4("10.0.0.7"), 1000, 0);   // the old SSRC of near: nothing
    EXPECT_EQ(t.cnames(), (V{"near", "far"}));
    release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.cnames(), V{"far"});
    release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.cnames(), V{});
}

TEST(SiteTableIndex, ExpiryInTheMiddleLeavesNoTraceInTheIndexes)
{
    TestServer t;
    t.srv.settings.verbose = true;
    enter_site(t.srv, site("old", {.email = "Old@X", .time = 50}), 50, 0);
    enter_site(t.srv, site("mid", {.ssrc = 2, .email = "Mid@X", .time = 50}), 50, 0);
    enter_site(t.srv, site("new", {.ssrc = 3, .email = "New@X", .time = 500}), 500, 0);
    expire_sites(t.srv, 1000);
    EXPECT_EQ(t.cnames(), V{"new"});
    EXPECT_EQ(found(t.srv.table, "@x"), V{"new"});
    EXPECT_EQ(found(t.srv.table, "*mid@x"), V{});
    release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1000, 0);  // no longer there
    EXPECT_EQ(t.cnames(), V{"new"});
    // The CNAME is new again: it goes to the head and is logged.
    enter_site(t.srv, site("mid", {.ssrc = 2, .email = "Mid@X"}), 1000, 0);
    EXPECT_EQ(t.cnames(), (V{"mid", "new"}));
    EXPECT_NE(t.out.text().find("Connect: 10.0.0.7:2076 Mid@X\n", t.out.text().find("Timeout")),
              std::string::npos);
}

TEST(SiteTableIndex, CnamesEqualApartFromTheMarkerAreOneSite)
{
    TestServer t;
    enter_site(t.srv, site("ann", {.name = "Ann Lee"}), 1000, 0);
    enter_site(t.srv, site("bob", {.ssrc = 2}), 1000, 0);
    EXPECT_EQ(found(t.srv.table, "an"), V{"ann"});
    enter_site(t.srv, site("*ann", {.ssrc = 3, .name = "Ann Lee"}), 1000, 0);  // now unlisted
    EXPECT_EQ(t.cnames(), (V{"bob", "*ann"}));
    EXPECT_EQ(found(t.srv.table, "an"), V{});
    EXPECT_EQ(found(t.srv.table, "lee"), V{});
    EXPECT_EQ(found(t.srv.table, "ann"), V{"*ann"});
    EXPECT_EQ(found(t.srv.table, "*ann"), V{"*ann"});
    enter_site(t.srv, site("ann", {.ssrc = 4}), 1000, 0);  // listed again, in the same place
    EXPECT_EQ(t.cnames(), (V{"bob", "ann"}));
    EXPECT_EQ(found(t.srv.table, "an"), V{"ann"});
    EXPECT_EQ(found(t.srv.table, "lee"), V{});
    release_site(t.srv, make_ssrc(4), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(found(t.srv.table, "ann"), V{});
}

TEST(SiteTableIndex, ExactModeThroughTheHashIndexAndSubstringsThroughTheTrigrams)
{
    TestServer t;
    enter_site(t.srv, site("ann", {.name = "Anne Smith", .email = "Ann.Lee"}), 1000, 0);
    enter_site(t.srv, site("*bob", {.ssrc = 2, .email = "Bob@X"}), 1000, 0);
    enter_site(t.srv, site("cy", {.ssrc = 3, .email = "*Cy@X"}), 1000, 0);
    enter_site(t.srv, site("dee", {.ssrc = 4, .email = ""}), 1000, 0);
    EXPECT_EQ(found(t.srv.table, "*ann.lee"), V{"ann"});
    EXPECT_EQ(found(t.srv.table, "*ann"), V{});
    EXPECT_EQ(found(t.srv.table, "ann.le"), V{"ann"});
    EXPECT_EQ(found(t.srv.table, "smith"), V{"ann"});
    EXPECT_EQ(found(t.srv.table, "e s"), V{"ann"});
    // No match runs from the candidate into the name.
    EXPECT_EQ(found(t.srv.table, "leeanne"), V{});
    EXPECT_EQ(found(t.srv.table, "bob@x"), V{"*bob"});
    EXPECT_EQ(found(t.srv.table, "*bob@x"), V{"*bob"});
    EXPECT_EQ(found(t.srv.table, "bob@"), V{});
    EXPECT_EQ(found(t.srv.table, "cy@x"), V{"cy"});
    EXPECT_EQ(found(t.srv.table, "y@x"), V{});
    // An empty e-mail text is the candidate: only the '*' query for "" finds it.
    EXPECT_EQ(found(t.srv.table, "dee"), V{});
    EXPECT_EQ(found(t.srv.table, "*"), V{"dee"});
    // A query with a NUL in it finds nothing.
    EXPECT_EQ(found(t.srv.table, std::string_view("ann\0", 4)), V{});
    // Letters beyond ASCII fold in UTF-8 texts, exactly and in substrings.
    enter_site(t.srv, site("lw", {.ssrc = 5, .name = "\xC5\x81ukasz", .email = "ZO\xC3\x8B@X"}), 1000, 0);
    EXPECT_EQ(found(t.srv.table, "\xC5\x82ukasz"), V{"lw"});
    EXPECT_EQ(found(t.srv.table, "*zo\xC3\xAB@x"), V{"lw"});
}

TEST(SiteTableIndex, QueryOfOneCharacterAndOfLongTexts)
{
    TestServer t;
    const std::string long_mail = std::string(200, 'm') + "@X";
    enter_site(t.srv, site("a", {.email = long_mail}), 1000, 0);
    enter_site(t.srv, site("b", {.ssrc = 2, .email = "QQ"}), 1000, 0);
    EXPECT_EQ(found(t.srv.table, "@"), V{"a"});
    EXPECT_EQ(found(t.srv.table, "q"), V{"b"});
    EXPECT_EQ(found(t.srv.table, std::string(150, 'm') + "@x"), V{"a"});
    EXPECT_EQ(found(t.srv.table, std::string(201, 'm')), V{});
}

namespace {

// The table rules carried out on a plain list, head first.
struct Model {
    std::list<Site> sites;

    static std::string_view key(const Site& s) { return without_marker(*s.cname); }

    void enter(const Site& s)
    {
        for (auto& e : sites) {
            if (key(e) == key(s)) {
                e = s;
                return;
            }
        }
        sites.push_front(s);
    }
    void release(const Ssrc& ssrc)
    {
        for (auto it = sites.begin(); it != sites.end(); ++it) {
            if (it->ssrc == ssrc) {
                sites.erase(it);
                return;
            }
        }
    }
    void expire(std::time_t now)
    {
        sites.remove_if([&](const Site& s) { return now - s.time > kMaxSiteAge; });
    }
    std::vector<std::string> matches(const std::string& lowered, std::size_t limit) const
    {
        std::vector<std::string> v;
        for (const auto& s : sites)
            if (v.size() < limit && site_matches(lowered, view_of(s)))
                v.push_back(*s.cname);
        return v;
    }
};

}  // namespace

TEST(SiteTableIndex, AgreesWithAPlainListOverManyRandomChanges)
{
    // Five starts: a new table; recencies about to be renumbered; the
    // search index about to run out of entry numbers (either indexes every
    // listed site anew on the way, in a run of entries too); CNAMEs and
    // SSRCs chosen to collide under the table's hash key; and texts made
    // of few trigrams, repeated with small changes, so that most sites
    // hold every trigram of a query, at offsets that agree modulo 8 or
    // not, without holding the query.
    const HashKey hostile_key{0x0123456789abcdefull, 0xfedcba9876543210ull};
    const CollidingKeys colliding = colliding_keys(hostile_key, 60, 25);
    ASSERT_EQ(hash_text(hostile_key, colliding.cnames[0]), hash_text(hostile_key, colliding.cnames[1]));
    ASSERT_EQ(hash_ssrc(hostile_key, make_ssrc(colliding.ssrcs[0])),
              hash_ssrc(hostile_key, make_ssrc(colliding.ssrcs[1])));
    for (int start = 0; start < 5; ++start) {
        std::mt19937 rng(2076 + start);
        const auto pick = [&](int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng)); };
        // UTF-8 words fold beyond ASCII, and a stray Latin-1 byte makes a
        // text 8-bit text, which folds A-Z only.
        const std::vector<std::string> plain = {"ann", "Ann", "bob", "LEE", "lee.x", "a", "ab", "", "x@y", "Zo",
                                                "\xC5\x81", "\xC5\x82", "Zo\xC3\x8B", "\xEB", "\xE2\x84\xAA"};
        const std::vector<std::string> adversarial = {"abc", "bcd", "abcX", "Xbcd", "cda", "ab", "cd", "XXXXX",
                                                      "abcXXXXXXbcd", "d", "bcdabc", "ABC"};
        const auto& words = start == 4 ? adversarial : plain;
        const auto text = [&] {
            std::string t = pick(4) == 0 ? "*" : "";
            for (int k = pick(start == 4 ? 5 : 3) + 1; k > 0; --k)
                t += words[std::size_t(pick(int(words.size())))];
            return t;
        };
        TestServer t;
        if (start == 1)
            t.srv.table.next_recency = 0xffffffffu - 700;
        if (start == 2)
            t.srv.table.search.next_entry = 0xffffffffu - 700;
        if (start == 3) {
            // The entry numbers run out on the way here too: the search
            // index, cleared and indexed anew, keeps the table's key.
            table_set_hash_key(t.srv.table, hostile_key);
            t.srv.table.search.next_entry = 0xffffffffu - 700;
        }
        const auto cname = [&](int n) { return start == 3 ? colliding.cnames[std::size_t(n)] : "c" + std::to_string(n); };
        const auto ssrc = [&](int n) { return make_ssrc(start == 3 ? colliding.ssrcs[std::size_t(n)] : std::uint32_t(n)); };
        Model m;
        std::time_t now = 1000;
        for (int step = 0; step < 4000; ++step) {
            const int op = pick(10);
            if (op < 6) {
                // Now and then a run of sites entered together, as a state
                // file is loaded, their search texts indexed in bulk later, a
                // few at a time among the other changes; a CNAME may come
                // twice in a run.
                const bool run = pick(4) == 0;
                for (int k = run ? 1 + pick(30) : 1; k > 0; --k) {
                    Site s = site(cname(pick(60)));
                    s.ssrc = ssrc(pick(25));
                    if (pick(4) == 0)
                        s.cname->insert(s.cname->begin(), '*');
                    if (pick(3) != 0)
                        s.email = text();
                    if (pick(2) == 0)
                        s.name = text();
                    s.time = now;
                    m.enter(s);
                    if (run)
                        table_enter_batched(t.srv.table, view_of(s), table_prefetch(t.srv.table, view_of(s)));
                    else
                        enter_site(t.srv, std::move(s), now, 0);
                }
            } else if (op < 9) {
                const Ssrc gone = ssrc(pick(25));
                m.release(gone);
                release_site(t.srv, gone, ipv4("10.0.0.7"), now, 0);
            } else {
                now += 200;
                m.expire(now);
                expire_sites(t.srv, now);
            }
            if (pick(3) == 0)
                table_index_some(t.srv.table, std::size_t(1 + pick(8)));
            std::vector<std::string> expected;
            for (const auto& s : m.sites)
                expected.push_back(*s.cname);
            ASSERT_EQ(t.cnames(), expected) << "start " << start << ", after step " << step;
            ASSERT_EQ(table_size(t.srv.table), m.sites.size());
            ASSERT_EQ(table_unlisted(t.srv.table),
                      std::size_t(std::count_if(m.sites.begin(), m.sites.end(),
                                                [](const Site& s) { return is_unlisted(view_of(s)); })));
            for (int k = 0; k < 3; ++k) {
                std::string q = text();
                if (q.empty())
                    q.push_back('a');
                lower_case(q);
                const std::size_t limit = std::size_t(1 + pick(19));
                ASSERT_EQ(found(t.srv.table, q, limit), m.matches(q, limit))
                    << "query '" << q << "', start " << start << ", after step " << step;
            }
        }
        if (start == 3) {
            EXPECT_LT(t.srv.table.search.next_entry, 0xffffffffu - 700);  // indexed anew
            for (const HashIndex* x : {&t.srv.table.search.by_key, &t.srv.table.search.owner_of})
                EXPECT_TRUE(x->key.k0 == hostile_key.k0 && x->key.k1 == hostile_key.k1);
        }
    }
}

TEST(SiteTableIndex, MatchReplyChunksComeInTableOrder)
{
    TestServer t;
    for (std::uint32_t i = 0; i < 40; ++i) {
        std::string mail = "user";
        mail.append(std::to_string(i)).append("@mail");
        enter_site(t.srv, site("s" + std::to_string(i), {.ssrc = i, .email = mail}), 1000, 0);
    }
    // Sites 0..39 were entered in order, so the head holds 39. "1@MAIL"
    // matches 1, 11, 21 and 31; their chunks come nearest the head first.
    const Bytes reply = t.reply_of(query_packet("1@MAIL"));
    std::vector<Ssrc> expected;
    for (std::uint32_t i : {31u, 21u, 11u, 1u})
        expected.push_back(make_ssrc(i));
    EXPECT_EQ(reply_ssrcs(reply), expected);
    // "@mail" matches all 40: the reply is cut at the cap, nearest first.
    const Bytes all = t.reply_of(query_packet("@mail"));
    const auto ssrcs = reply_ssrcs(all);
    // Each chunk of sites 39..31 takes 52 bytes: nine fit (472 bytes), a
    // tenth would make 524.
    ASSERT_EQ(ssrcs.size(), 9u);
    for (std::size_t k = 0; k < ssrcs.size(); ++k)
        EXPECT_EQ(ssrcs[k], make_ssrc(39 - std::uint32_t(k)));
    EXPECT_EQ(all.size(), 472u);
    EXPECT_EQ(all[0], 0x89);
}

TEST(SiteTableIndex, LargeTableWithManyChangesAgreesWithAPlainList)
{
    // Thousands of sites fill posting lists of many blocks, whose lists are
    // rewritten several times as half of them dies.
    std::mt19937 rng(7);
    const auto pick = [&](int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng)); };
    const char* const first[] = {"Maria", "Jonas", "Aino", "Pedro", "Lena", "Tomasz"};
    const char* const last[] = {"Lindqvist", "Kovacs", "Moreau", "Novak", "Silva"};
    const auto person = [&](int i, int v) {
        Site s = site(std::string("host").append(std::to_string(i)), {.ssrc = std::uint32_t(i)});
        std::string name = first[(i + v) % 6];
        name.append(" ").append(last[(i / 6 + v) % 5]);
        s.name = name;
        std::string mail = name.substr(0, 3);
        mail.append(std::to_string(i * 7 + v)).append("@Mail.ORG");
        if (v % 5 == 4)
            mail.insert(mail.begin(), '*');
        s.email = mail;
        return s;
    };
    TestServer t;
    t.srv.settings.max_per_address = 0;  // thousands of sites from one address
    Model m;
    for (int round = 0; round < 4; ++round) {
        for (int k = 0; k < 1500; ++k) {
            const int i = pick(3000);
            if (pick(3) == 0) {
                m.release(make_ssrc(std::uint32_t(i)));
                release_site(t.srv, make_ssrc(std::uint32_t(i)), ipv4("10.0.0.7"), 1000, 0);
            } else {
                const Site s = person(i, pick(5));
                m.enter(s);
                enter_site(t.srv, Site(s), 1000, 0);
            }
        }
        std::vector<std::string> expected;
        for (const auto& s : m.sites)
            expected.push_back(*s.cname);
        ASSERT_EQ(t.cnames(), expected);
        // Common texts (the search stops early), rare ones and misses of
        // every length the filter treats differently.
        for (const char* q : {"lindqvist", "ina li", "@mail.org", "mar", "na", "nobody here",
                              "mar1234@mail.org", "*jon77@mail.org", "9@m", "tomasz kovacs", "a",
                              "o", "qx", "q", "17", "xyz"}) {
            ASSERT_EQ(found(t.srv.table, q), m.matches(q, 19)) << q;
            ASSERT_EQ(found(t.srv.table, q, 1000), m.matches(q, 1000)) << q;
        }
        for (int k = 0; k < 30; ++k) {
            // An e-mail text of a site that may or may not be there.
            std::string q = *person(pick(3000), pick(5)).email;
            lower_case(q);
            ASSERT_EQ(found(t.srv.table, q), m.matches(q, 19)) << q;
        }
    }
}

TEST(SiteTableIndex, ShortQueryHeldOnlyFarFromTheHeadIsFoundThroughTheLists)
{
    // 300 old sites hold "z" in ten trigrams each, the 2,700 after them
    // none: the walk from the head, which a query this common tries first,
    // gives up, and the posting lists find the nearest of the old ones.
    TestServer t;
    t.srv.settings.max_per_address = 0;  // 3,000 sites from one address
    Model m;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const std::string n = std::to_string(i);
        std::optional<std::string> name;
        if (i < 300)
            name = "za zb zc zd ze zf zg zh zi zj " + n;
        Site s = site("h" + n, {.ssrc = i, .name = name, .email = "u" + n + "@mail"});
        m.enter(s);
        enter_site(t.srv, std::move(s), 1000, 0);
    }
    for (const char* q : {"z", "zc", "za zb", "j 29", "@"}) {
        ASSERT_EQ(found(t.srv.table, q), m.matches(q, 19)) << q;
        ASSERT_EQ(found(t.srv.table, q, 1000), m.matches(q, 1000)) << q;
    }
    EXPECT_EQ(found(t.srv.table, "z", 2), (V{"h299", "h298"}));
}
