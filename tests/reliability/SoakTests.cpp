// Many uploads at once against a service that fails at random, resumed until everything is stored.
//
// VHBR_SOAK_UPLOADS sets the number of uploads (default 12, half of them multipart), VHBR_SOAK_SEED
// the fault sequence; the sanitizer runs in CI use fewer uploads.

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// The engine's idle time-out here, and a stall far beyond it (the production pair is 60 s).
constexpr auto kIdleTimeout = 5000ms;
constexpr int kStallMs = 20'000;
constexpr int kMaxRounds = 25;
constexpr auto kSoakBudget = 90s;  // stays under the per-test limit of CTest

int environmentNumber(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

// Routes where a request that stalls and is then served anyway changes nothing the client relies on.
const std::vector<std::string> kReplayableRoutes{"create-task", "upload-session", "upload-part-urls",
                                                 "object-put", "part-put"};
// Routes that commit: a stall there ends in an error, so the service never commits behind the
// client's back (that case, a completion whose reply is lost, has its own test).
const std::vector<std::string> kCommittingRoutes{"complete-multipart-upload", "upload-complete"};

// The faults drawn from (two draws in six leave the request untouched), and what the user reads
// after each: a 500's own message on the API (the PUTs to the store do not read the body), a 503
// page that names nothing, a stall past the idle time-out, a dropped connection.
const std::pair<const char*, json> kFaultKinds[] = {
    {"500", {{"status", 500}, {"body", R"({"message":"Internal failure"})"}}},
    {"503", {{"status", 503}, {"body", "<html>Service Unavailable</html>"}}},
    {"stall then served", {{"delayMs", kStallMs}}},
    {"dropped connection", {{"drop", true}}},
    {"untouched", json::object()},
    {"untouched", json::object()},
};
const std::set<std::string> kFaultMessages{
    "Internal failure",       "The server returned status 500.",  "The server returned status 503.",
    "The request timed out.", "The network connection was lost.",
};

class Soak : public ReliabilityTest {
protected:
    // Arms a shuffled mix of faults and untouched requests on route; returns the faults armed.
    int armRandomFaults(const std::string& route, int entries, std::mt19937& random,
                        std::map<std::string, int>& tally) {
        const bool committing =
            std::find(kCommittingRoutes.begin(), kCommittingRoutes.end(), route) != kCommittingRoutes.end();
        int faults = 0;
        for (int i = 0; i < entries; ++i) {
            auto [kind, fault] = kFaultKinds[std::uniform_int_distribution<int>(0, 5)(random)];
            std::string name = kind;
            if (committing && fault.contains("delayMs")) {
                fault["status"] = 503;
                name = "stall then 503";
            }
            tally[name]++;
            faults += !fault.empty();
            fault["route"] = route;
            server.fault(fault);
        }
        return faults;
    }
};

TEST_F(Soak, ConcurrentUploadsUnderRandomFaultsEndIntact) {
    const int uploads = std::max(2, environmentNumber("VHBR_SOAK_UPLOADS", 12));
    const unsigned seed = static_cast<unsigned>(environmentNumber("VHBR_SOAK_SEED", 20250304));
    std::mt19937 random(seed);
    const auto started = std::chrono::steady_clock::now();

    // Half multipart (50 to 62 MiB, 5 to 7 parts), half single PUTs (1 to 20 MiB).
    std::map<std::string, std::filesystem::path> sources;
    std::uint64_t totalBytes = 0;
    for (int i = 0; i < uploads; ++i) {
        const bool multipart = i % 2 == 0;
        const std::uint64_t size =
            multipart ? 50 * kMiB + std::uniform_int_distribution<std::uint64_t>(0, 12 * kMiB)(random)
                      : std::uniform_int_distribution<std::uint64_t>(1 * kMiB, 20 * kMiB)(random);
        const std::string name = "soak-" + std::to_string(i) + (multipart ? ".mov" : ".mp3");
        sources[name] = mediaFile(name, size, static_cast<unsigned>(100 + i));
        totalBytes += size;
    }

    std::map<std::string, int> tally;
    int armed = 0;
    const int apiEntries = uploads;  // about one request in two of the first round faulted
    for (const auto& route : kReplayableRoutes) {
        const int entries = route == "part-put"     ? 3 * uploads
                            : route == "object-put" ? uploads / 2 + 2
                                                    : apiEntries;
        armed += armRandomFaults(route, entries, random, tally);
    }
    for (const auto& route : kCommittingRoutes)
        armed += armRandomFaults(route, apiEntries / 2 + 1, random, tally);

    auto manager = makeFastManager(kIdleTimeout);
    for (const auto& [name, file] : sources) manager->start(draftFor(file));
    ASSERT_EQ(manager->activeUploads().size(), sources.size());
    waitForJobs(*manager, 120s);
    const std::uint64_t residentAfterFirstRound = residentBytes();
    std::uint64_t residentPeak = residentAfterFirstRound;

    int rounds = 1;
    std::map<std::string, int> failures;  // every round's failures, by message
    const auto noteFailures = [&](const UploadManager& m) {
        for (const auto& model : m.activeUploads())
            if (model->status().kind() == Status::Kind::failed)
                failures[model->status().message().value_or("")]++;
    };
    noteFailures(*manager);
    while (!filesUnder(stateDir()).empty() && rounds < kMaxRounds &&
           std::chrono::steady_clock::now() - started < kSoakBudget) {
        manager.reset();
        manager = makeFastManager(kIdleTimeout);
        ASSERT_FALSE(manager->resumableStates().empty()) << "state files that do not load";
        manager->resumeAll();
        waitForJobs(*manager, 120s);
        noteFailures(*manager);
        residentPeak = std::max(residentPeak, residentBytes());
        ++rounds;
    }
    manager.reset();

    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    std::cout << "soak: " << uploads << " uploads, " << totalBytes / kMiB << " MiB, seed " << seed << ", "
              << armed << " faults armed, " << rounds << " rounds, " << elapsed.count() << " s\n";
    for (const auto& [kind, count] : tally) std::cout << "  " << kind << ": " << count << "\n";
    for (const auto& [message, count] : failures)
        std::cout << "  failed with [" << message << "]: " << count << "\n";
    std::cout << "  resident after round 1: " << residentAfterFirstRound / kMiB
              << " MiB, highest later: " << residentPeak / kMiB << " MiB\n";

    EXPECT_TRUE(filesUnder(stateDir()).empty()) << "uploads still unfinished after " << rounds << " rounds";
    for (const auto& [name, file] : sources) {
        const auto task = onlyTaskFor(name);
        ASSERT_TRUE(task) << name << ": not exactly one task";
        EXPECT_TRUE(task->value("uploadComplete", false)) << name;
        EXPECT_EQ(task->value("sha256", ""), sha256OfFile(file)) << name;
    }
    EXPECT_FALSE(failures.empty()) << "no armed fault ever failed an upload";
    // Every failure came from an armed fault and says which kind (no internal or empty message).
    for (const auto& [message, count] : failures) EXPECT_TRUE(kFaultMessages.contains(message)) << message;
    if (!kSanitized) {
        // Files and parts stream from disk: memory neither scales with the data nor grows per round.
        EXPECT_LT(residentAfterFirstRound, 160 * kMiB);
        EXPECT_LT(residentPeak, residentAfterFirstRound + 32 * kMiB);
    }
}

}  // namespace
}  // namespace vhbr::test
