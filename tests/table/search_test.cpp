// SPDX-License-Identifier: BSD-2-Clause
// The search unit on its own, without a site table: what a query finds
// through the trigram index, in which order, and that lazy deletion and
// the rewriting of posting lists never lose a true match nor bring back a
// dead one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "server/search.h"

using namespace kovari;

namespace {

// An index with the recencies of its owners beside it, as a table keeps
// them, and the owners' texts for the full comparison.
struct Index {
    SearchIndex a;
    std::vector<std::uint32_t> recencies;
    std::vector<std::pair<std::string, std::string>> texts;

    // `staged`: indexed as a run of owners is (search_stage), put into the
    // lists by flush() or by what the index does next.
    void add(std::uint32_t owner, std::uint32_t recency, std::string_view candidate,
             std::string_view name = {}, bool staged = false)
    {
        if (recencies.size() <= owner) {
            recencies.resize(owner + 1, 0);
            texts.resize(owner + 1);
        }
        recencies[owner] = recency;
        texts[owner] = {std::string(candidate), std::string(name)};
        if (staged)
            search_stage(a, owner, recency, candidate, name);
        else
            search_add(a, owner, recency, candidate, name);
    }
    void flush() { search_flush(a); }
    void drop(std::uint32_t owner) { search_drop(a, owner, texts[owner].first, texts[owner].second); }

    // The owners a lowered query finds, nearest the head first. The
    // comparison counts how often it is asked.
    std::vector<std::uint32_t> find(std::string_view query, std::size_t limit = 19) const
    {
        std::vector<std::uint32_t> out(limit);
        Nearest nearest{out, recencies};
        checked = 0;
        search_find(a, query, nearest, [&](std::uint32_t owner) {
            ++checked;
            return contains_folded(texts[owner].first, query) || contains_folded(texts[owner].second, query);
        });
        out.resize(nearest.size);
        return out;
    }
    mutable std::size_t checked = 0;
};

using Owners = std::vector<std::uint32_t>;

std::string mail(std::uint32_t k) { return "User" + std::to_string(k) + "@Example.org"; }

}  // namespace

TEST(Search, MatchesStayInsideOneTextAndCountOncePerOwner)
{
    Index s;
    s.add(0, 1, "ab", "cd");
    s.add(1, 2, "ef");
    s.add(2, 3, "Anna@X", "ANNA B");
    s.add(3, 4, std::string(200, 'x'), "yz");  // one trigram, 198 times over
    // Texts are searched lowered, nearest the head first.
    EXPECT_EQ(s.find("a"), (Owners{2, 0}));
    EXPECT_EQ(s.find("ab"), (Owners{0}));
    EXPECT_EQ(s.find("cd"), (Owners{0}));
    // In both texts of owner 2, yet one match.
    EXPECT_EQ(s.find("anna"), (Owners{2}));
    // Runs from a candidate into its name, or from one owner into the next,
    // are no matches.
    EXPECT_EQ(s.find("bc"), Owners{});
    EXPECT_EQ(s.find("de"), Owners{});
    EXPECT_EQ(s.find("xy"), Owners{});
    EXPECT_EQ(s.find(std::string(150, 'x')), (Owners{3}));
    EXPECT_EQ(s.find(std::string(201, 'x')), Owners{});
    // A trigram that no text holds settles a query before any comparison.
    EXPECT_EQ(s.find("qqq"), Owners{});
    EXPECT_EQ(s.checked, 0u);
}

TEST(Search, AnOwnerReenteredWithAnOldStampComesAfterNearerMatches)
{
    // A site that changes its texts keeps its place in the table, so its new
    // texts get the newest entry number, at the end of the posting lists,
    // with an old recency: a match there must not end the search before the
    // nearer match earlier in the lists.
    Index s;
    for (std::uint32_t k = 0; k < 100; ++k)
        s.add(k, k + 1, k == 50 ? "needle-50" : "site" + std::to_string(k) + "@net");
    s.drop(4);
    s.add(4, 5, "needle-4");
    EXPECT_EQ(s.find("needle", 1), (Owners{50}));
    EXPECT_EQ(s.find("needle"), (Owners{50, 4}));
    EXPECT_EQ(s.find("@net", 3), (Owners{99, 98, 97}));
    EXPECT_EQ(s.find("site4@"), Owners{});
}

TEST(Search, TrueMatchesSurviveCompaction)
{
    // 600 texts of about 25 bytes; dropping five of every six makes more
    // than half of every common list dead, so each is rewritten with the
    // survivors in other blocks, whose recency bounds are taken along.
    Index s;
    for (std::uint32_t k = 0; k < 600; ++k)
        s.add(k, k + 1, mail(k));
    // A text every owner holds: the nearest three are compared and the
    // lists are left there.
    EXPECT_EQ(s.find("@example", 3), (Owners{599, 598, 597}));
    EXPECT_EQ(s.checked, 3u);
    for (std::uint32_t k = 0; k < 600; ++k)
        if (k % 6 != 0)
            s.drop(k);
    EXPECT_EQ(s.find("user594@"), (Owners{594}));
    EXPECT_EQ(s.find("user6@"), (Owners{6}));
    EXPECT_EQ(s.find("user593@"), Owners{});
    EXPECT_EQ(s.find("@example", 3), (Owners{594, 588, 582}));
    EXPECT_EQ(s.find("@example", 1000).size(), 100u);
    // Owners still know their texts after the move: dropping one takes out
    // its own and no other.
    s.drop(300);
    EXPECT_EQ(s.find("user300@"), Owners{});
    EXPECT_EQ(s.find("user306@"), (Owners{306}));
    EXPECT_EQ(s.find("@example", 1000).size(), 99u);
    s.add(300, 601, "Back@Example.org");
    EXPECT_EQ(s.find("ba"), (Owners{300}));
    EXPECT_EQ(s.find("@example", 2), (Owners{300, 594}));
}

TEST(Search, OwnersFiledInBulkAreFoundAsOwnersFiledOneByOne)
{
    // The same owners in two indexes, one indexing each at once, the other
    // staging them: 70000 of them, more than are staged before a part is
    // put into the lists, with texts that share trigrams, so that many
    // lists fill their waiting room. Owners indexed one by one in between,
    // and drops, take what is staged into the lists first.
    Index one, bulk;
    const auto both = [&](std::uint32_t owner, std::uint32_t recency, const std::string& candidate,
                          const std::string& name, bool staged) {
        one.add(owner, recency, candidate, name);
        bulk.add(owner, recency, candidate, name, staged);
    };
    for (std::uint32_t k = 0; k < 70000; ++k)
        both(k, k + 1, mail(k), k % 3 == 0 ? "Name " + std::to_string(k % 1000) : "", k % 5000 != 0);
    bulk.flush();
    for (const char* q : {"user1", "user69999@", "@example", "name 7", "e 99", "u", "9@", "user4000"})
        for (std::size_t limit : {1u, 19u, 100000u})
            EXPECT_EQ(bulk.find(q, limit), one.find(q, limit)) << q << ", " << limit;
    // A run that ends in a drop, and an owner's texts indexed again with an
    // old recency in a run.
    for (std::uint32_t k = 70000; k < 70100; ++k)
        both(k, k + 1, mail(k), "", true);
    one.drop(12);
    bulk.drop(12);
    one.drop(70050);
    bulk.drop(70050);
    both(12, 13, "Needle@Example.org", "", true);
    both(70100, 70101, "needle", "", true);
    bulk.flush();
    for (const char* q : {"needle", "user12@", "user70050@", "user700", "@example", "ne"})
        for (std::size_t limit : {1u, 19u, 100000u})
            EXPECT_EQ(bulk.find(q, limit), one.find(q, limit)) << q << ", " << limit;
    EXPECT_EQ(bulk.find("needle"), (Owners{70100, 12}));
}
