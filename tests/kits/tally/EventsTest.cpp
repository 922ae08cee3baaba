#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <iterator>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "base/Json.h"
#include "kits/tally/BBXAnalyticsEvent.h"
#include "kits/tally/BBXAnalyticsMetadataController.h"
#include "kits/tally/BBXTallyEvent.h"

using base::Json;
using namespace std::chrono_literals;

TEST(TallyEvent, AttributeValidationKeepsTwentyOneAndDropsBadEntries) {
    BBXTallyAttributes attrs;
    for (int i = 0; i < 25; ++i) attrs.push_back({Json("k" + std::to_string(i)), Json(i)});
    auto event = BBXTallyCustomEvent::initWithName("many", attrs);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->customAttributes().size(), 21u);
    EXPECT_TRUE(event->customAttributes().contains("k20"));
    EXPECT_FALSE(event->customAttributes().contains("k21"));

    // Full is full, even for a key that is already there.
    Json dict = event->customAttributes();
    BBXTallyEvent::addAttribute("k0", "replaced", dict);
    EXPECT_EQ(dict["k0"], 0);

    auto mixed = BBXTallyCustomEvent::initWithName(
        "mixed", {{Json(5), Json("numeric key")},
                  {Json("list"), Json::array({1})},
                  {Json("none"), Json()},
                  {Json(), Json("no key")},
                  {Json("ok"), Json(true)},
                  {Json("ok"), Json("last wins")}});
    EXPECT_EQ(mixed->customAttributes(), Json({{"ok", "last wins"}}));

    EXPECT_FALSE(BBXTallyCustomEvent::initWithName(std::nullopt));
}

TEST(TallyEvent, TextsAreCutToHundredUnitsOnCharacterBoundaries) {
    std::string longText(150, 'v');
    auto event = BBXTallyCustomEvent::initWithName(std::string(150, 'n'), {{Json(std::string(150, 'k')), Json(longText)}});
    ASSERT_EQ(event->customAttributes().size(), 1u);
    auto it = event->customAttributes().begin();
    EXPECT_EQ(it.key(), std::string(100, 'k'));
    EXPECT_EQ(it.value(), std::string(100, 'v'));
    EXPECT_EQ(event->metadata()["custom_type"], std::string(100, 'n'));

    // 99 ASCII units then a character outside the BMP (a surrogate pair):
    // it does not fit whole, so it is left out rather than split.
    std::string emoji = "\xF0\x9F\x98\x80";
    Json cut = BBXTallyEvent::truncateAttribute(std::string(99, 'a') + emoji + "tail");
    EXPECT_EQ(cut, std::string(99, 'a'));
    // Two-byte characters count one unit each.
    std::string accents;
    for (int i = 0; i < 120; ++i) accents += "\xC3\xA9";
    cut = BBXTallyEvent::truncateAttribute(accents);
    EXPECT_EQ(cut.get<std::string>().size(), 200u);
    // Invalid bytes never make the stored JSON throw.
    auto bad = BBXTallyCustomEvent::initWithName("bad", {{Json("v"), Json(std::string("\xFF\xFE ok"))}});
    auto stored = BBXAnalyticsEvent::initWithTallyEvent(bad.get(), 1, "E");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(base::parseJson(*stored->payload()));
}

TEST(TallyEvent, PredefinedEventsSerialiseTheirAttributes) {
    BBXTallyPurchaseEvent purchase(9.99, "EUR", true, "print", "id-7", "photo", {{Json("c"), Json(1)}});
    auto p = purchase.payloadDictionary();
    EXPECT_EQ(p["predefined_type"], "purchase");
    EXPECT_EQ(p["predefined_attributes"]["item_price"], 9990000);
    EXPECT_EQ(p["predefined_attributes"]["success"], "true");
    EXPECT_EQ(p["predefined_attributes"]["item_id"], "id-7");
    EXPECT_EQ(p["predefined_attributes"]["item_type"], "photo");
    EXPECT_EQ(p["custom_attributes"], Json({{"c", 1}}));
    EXPECT_EQ(purchase.key(), "predefined");

    EXPECT_EQ(BBXTallyPurchaseEvent(0.5, "EUR", false, "a", "b", "c").predefinedAttributes()["item_price"], 500000);
    EXPECT_EQ(BBXTallyPurchaseEvent(0.29, "EUR", 0, "a", "b", "c").predefinedAttributes()["item_price"], 290000);
    BBXTallyPurchaseEvent noPrice(nullptr, "EUR", 0, "a", "b", "c");
    EXPECT_FALSE(noPrice.predefinedAttributes().contains("item_price"));
    EXPECT_EQ(noPrice.predefinedAttributes()["success"], "false");

    EXPECT_EQ(BBXTallyRateEvent(4.7, "n", "t", "i").predefinedAttributes()["rating"], 4);
    EXPECT_EQ(BBXTallyLevelEndEvent("l", 4.7, 1).predefinedAttributes()["score"], 4.7);
    EXPECT_EQ(BBXTallyStartCheckoutEvent(12, "USD", 3.9).predefinedAttributes(),
              Json({{"total_price", 12000000}, {"currency", "USD"}, {"item_count", 3}}));
    // Numbers given for strings are stored as their text.
    EXPECT_EQ(BBXTallySearchEvent(42).predefinedAttributes()["query"], "42");
    EXPECT_EQ(BBXTallyShareEvent("mail", 2.5, nullptr, "x").predefinedAttributes(),
              Json({{"method", "mail"}, {"content_name", "2.5"}, {"content_id", "x"}}));

    auto stored = BBXAnalyticsEvent::initWithTallyEvent(&purchase, 77, "EV-1");
    EXPECT_EQ(stored->priority(), 2u);
    EXPECT_EQ(stored->key(), "predefined");
    auto json = base::parseJson(*stored->payload());
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["eventId"], "EV-1");
    EXPECT_EQ((*json)["predefined_attributes"]["item_price"], 9990000);
}

TEST(AnalyticsEvents, LifecycleKeysAndPriorities) {
    using L = BBXAnalyticsApplicationLifecycleEvent;
    auto inactive = L::initWithApplicationNotificationName(L::kWillResignActive, 5, "E", true);
    EXPECT_EQ(inactive->key(), "app_became_inactive");
    EXPECT_EQ(inactive->priority(), 0u);
    EXPECT_EQ(L::initWithApplicationNotificationName(L::kWillResignActive, 5, "E", false)->priority(), 1u);
    EXPECT_EQ(L::initWithApplicationNotificationName(L::kDidBecomeActive, 5, "E", false)->priority(), 0u);
    EXPECT_EQ(L::initWithApplicationNotificationName(L::kWillTerminate, 5, "E", false)->key(), "app_terminated");
    EXPECT_FALSE(L::initWithApplicationNotificationName("Other", 5, "E", false));
    EXPECT_EQ(L::initApplicationInstalledEvent(5, "E")->priority(), 0u);
    auto launched = L::initApplicationLaunchedEvent(5, "E");
    EXPECT_EQ(*launched->payload(), "{\"eventId\":\"E\"}");
}

TEST(Sampling, JavaHashAndSignedRemainder) {
    using F = BBXAnalyticsEventFilter;
    EXPECT_EQ(F::javaHashCodeForString("abc"), 96354);
    EXPECT_EQ(F::javaHashCodeForString(""), 0);
    EXPECT_EQ(F::javaHashCodeForString("polygenelubricants"), INT32_MIN);
    // A character outside the BMP hashes as its two surrogate units.
    EXPECT_EQ(F::javaHashCodeForString("\xF0\x9F\x98\x80"), 0xD83D * 31 + 0xDE00);

    // Find installation ids with negative hashes, one divisible by 10 and one not.
    std::string keep, drop;
    for (int i = 0; keep.empty() || drop.empty(); ++i) {
        std::string id = "install-" + std::to_string(i) + "-xxxxxxxx";
        std::int32_t h = F::javaHashCodeForString(id);
        if (h >= 0) continue;
        if (h % 10 == 0 && keep.empty()) keep = id;
        if (h % 10 == -1 && drop.empty()) drop = id;
    }
    EXPECT_FALSE(F::shouldDiscardEventWithInstallationID(keep, 10));
    EXPECT_TRUE(F::shouldDiscardEventWithInstallationID(drop, 10));

    BBXEventLogEvent launched(1, 1, "app_launched"), installed(0, 1, "app_installed"), custom(2, 1, "custom");
    EXPECT_TRUE(F::shouldDiscardEvent(&launched, std::nullopt, drop, 10));
    EXPECT_FALSE(F::shouldDiscardEvent(&launched, std::string("2:beta"), drop, 10));
    EXPECT_FALSE(F::shouldDiscardEvent(&installed, std::nullopt, drop, 10));
    EXPECT_FALSE(F::shouldDiscardEvent(&custom, std::nullopt, drop, 10));
    EXPECT_FALSE(F::shouldDiscardEvent(&launched, std::nullopt, std::nullopt, 10));
    EXPECT_FALSE(F::shouldDiscardEvent(&launched, std::nullopt, drop, 1));
    EXPECT_TRUE(F::shouldDiscardEvent(nullptr, std::nullopt, drop, 0));
}

TEST(AnalyticsMetadata, BetaTokenAndKeys) {
    using M = BBXAnalyticsMetadataController;
    EXPECT_EQ(M::unwrapBetaToken(std::string("2:abc")), "abc");
    EXPECT_FALSE(M::unwrapBetaToken(std::string("3:abc")));
    EXPECT_FALSE(M::unwrapBetaToken(std::string("2")));
    EXPECT_FALSE(M::unwrapBetaToken(std::string("2:a:b")));
    EXPECT_FALSE(M::unwrapBetaToken(std::nullopt));

    BBXAnalyticsMetadataSource source;
    source.apiKey = "KEY";
    source.executionIdentifier = "EXEC";
    source.hostModel = "Box";
    source.cores = 8;
    M controller(1700000000999ULL, std::string("2:tok"), source);
    auto json = base::parseJson(controller.metadataJSONData());
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["generator"], "Tally Mac SDK/1.0.1");
    EXPECT_EQ((*json)["started_at"], 1700000000);
    EXPECT_EQ((*json)["beta_tester_token"], "tok");
    EXPECT_EQ((*json)["machine"], "Box");
    EXPECT_EQ((*json)["session_id"], "EXEC");
    EXPECT_EQ((*json)["platform"], "mac");
    EXPECT_EQ((*json)["jailbroken"], false);
    EXPECT_FALSE(json->contains("install_id"));
    EXPECT_FALSE(json->contains("advertising_id"));
}

TEST(AnalyticsEvents, StoredTallyPayloadIsTheDictionaryWithTheIdentifier) {
    BBXTallyPurchaseEvent purchase(9.99, "EUR", true, "print \"large\"", "id-7", "ph\xC3\xB6to\n", {{Json("c"), Json(1)}});
    auto custom = BBXTallyCustomEvent::initWithName("tab\there", {{Json("k\\ey"), Json("v")}, {Json("n"), Json(2.5)}});
    std::vector<std::shared_ptr<const BBXTallyEvent>> events = {
        std::make_shared<BBXTallyPurchaseEvent>(purchase), custom,
        std::make_shared<BBXTallySearchEvent>(Json("green screen"),
                                              BBXTallyAttributes{{Json("big"), Json(std::uint64_t{1} << 63)},
                                                                 {Json("neg"), Json(-7)},
                                                                 {Json("yes"), Json(true)}})};
    for (const auto& event : events) {
        auto expected = event->payloadDictionary();
        expected["eventId"] = "E-\"1\"";
        // Both ways of storing a Tally event give the same JSON.
        auto kept = BBXAnalyticsEvent::initWithTallyEvent(event, 5, "E-\"1\"");
        auto copied = BBXAnalyticsEvent::initWithTallyEvent(event.get(), 5, "E-\"1\"");
        for (const auto& stored : {kept, copied}) {
            auto json = base::parseJson(*stored->payload());
            ASSERT_TRUE(json) << *stored->payload();
            EXPECT_EQ(*json, expected);
            EXPECT_EQ(stored->stringPayloadValueDict(), event->payloadDictionary());
            EXPECT_EQ(stored->key(), event->key());
            EXPECT_EQ(stored->priority(), 2u);
        }
    }
    // Values that already carry "eventId" lose it to the identifier.
    auto lifecycle = BBXAnalyticsEvent::initWithPriority(1, 5, "app_launched", "ID", Json{{"eventId", "old"}, {"a", 1}});
    EXPECT_EQ(*base::parseJson(*lifecycle->payload()), (Json{{"eventId", "ID"}, {"a", 1}}));
    EXPECT_EQ(*BBXAnalyticsEvent::initWithPriority(1, 5, "app_launched", "ID")->payload(), "{\"eventId\":\"ID\"}");
}

TEST(AnalyticsEvents, EventIdentifiersAreUniqueVersionFourUUIDsAcrossThreadsAndForks) {
    BBXAnalyticsIdentifierGenerator ids;
    auto wellFormed = [](const std::string& id) {
        if (id.size() != 36) return false;
        for (std::size_t i = 0; i < id.size(); ++i) {
            bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash != (id[i] == '-')) return false;
            if (!dash && !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
            if (!dash && std::islower(static_cast<unsigned char>(id[i]))) return false;
        }
        return id[14] == '4' && std::string("89AB").find(id[19]) != std::string::npos;
    };
    // A forked child must not repeat what its parent makes next: only a bare
    // fork can show that. It happens in a fresh copy of this test that has
    // started no thread, so the child cannot inherit a lock held mid-use.
    if (testsupport::ChildProcess::childMode()) {
        ids.generateEventIdentifier();  // this thread's generator is under way
        const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator());
        ASSERT_EQ(threads, 1) << "a copy with threads is not forked";
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string id = ids.generateEventIdentifier();
            _exit(write(fds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size()) ? 0 : 1);
        }
        close(fds[1]);
        std::string parent = ids.generateEventIdentifier();
        char buffer[64];
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        close(fds[0]);
        waitpid(pid, nullptr, 0);
        ASSERT_EQ(n, 36);
        EXPECT_NE(std::string(buffer, 36), parent);
        return;
    }
    constexpr int kThreads = 4, kEach = 50000;
    std::vector<std::vector<std::string>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) made[t].push_back(ids.generateEventIdentifier());
        });
    for (auto& t : threads) t.join();
    std::set<std::string> unique;
    for (const auto& list : made)
        for (const auto& id : list) {
            EXPECT_TRUE(wellFormed(id)) << id;
            unique.insert(id);
        }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kEach));
    testsupport::ChildProcess forks("fork");
    EXPECT_TRUE(forks.succeeds(60s)) << forks.output();
}
