// SPDX-License-Identifier: GPL-3.0-or-later
// A run with several files in flight, over real folders, with files that
// finish out of order: what the run reports, counts and journals is still
// in listing order; Stop, a mode switch and a failure land on files as they
// are taken up; a kill in the middle leaves nothing half-written.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/bucket.h"
#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(20);

// Waits until `done` holds, or the bound has passed; whether it held.
template <class Condition>
bool WaitFor(Condition done)
{
    const auto until = Clock::now() + kBound;
    while (!done()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// The files a journal was given, in the order given.
class RecordingJournals final : public JournalStore {
public:
    struct Record {
        TransferMode mode;
        std::string name;
    };
    std::vector<Record> files;
    JournalHeader header;

    FsResult<std::unique_ptr<JournalWriter>> startRun(const JournalHeader& started) override
    {
        header = started;
        return std::unique_ptr<JournalWriter>(std::make_unique<Writer>(files));
    }
    std::vector<JournalSummary> list() override { return {}; }
    std::optional<JournalSummary> newestToTakeBack() override { return std::nullopt; }
    FsResult<JournalSummary> summary(const std::string&) override { return FsStatus {ENOENT, "none"}; }
    FsStatus read(const std::string&, JournalVisitor&) override { return {ENOENT, "none"}; }

    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const Record& record : files)
            out.push_back(record.name);
        return out;
    }

private:
    class Writer final : public JournalWriter {
    public:
        explicit Writer(std::vector<Record>& files) : m_files(files) {}
        FsStatus file(const PlacedInRun& file) override
        {
            m_files.push_back({file.mode, std::string(file.name)});
            return {};
        }
        FsStatus bucket(const JournalBucket&) override { return {}; }
        FsStatus flush() override { return {}; }

    private:
        std::vector<Record>& m_files;
    };
};

// A run with `inFlight` files at a time, a journal, and files that finish
// out of order: every fifth file taken up waits until as many files as were
// taken up with it have finished, so at least one taken up after it
// finishes first.
struct FlightWorld : RunWorld {
    RecordingJournals journals;
    SieveJob journaled {fs, clock, observer, &journals};
    std::atomic<int> began {0};
    std::atomic<int> finished {0};
    std::atomic<int> active {0};
    std::atomic<int> mostActive {0};
    int files = 0;
    bool shuffle = true;
    // Runs on the worker as file number `taken` (1, 2...) is taken up.
    std::function<void(int taken)> onTakenUp;

    explicit FlightWorld(int inFlight = 4)
    {
        fs.inFlight = inFlight;
        shuffle = inFlight > 1; // one at a time, nothing could overtake
        fs.beforeFile = [this](const std::string&, int) {
            const int taken = ++began;
            const int now = ++active;
            for (int most = mostActive.load(); now > most && !mostActive.compare_exchange_weak(most, now);) {}
            if (onTakenUp)
                onTakenUp(taken);
            if (shuffle && taken % 5 == 0 && taken + 4 <= files)
                WaitFor([&] { return finished.load() >= taken || controls.stop.load(); });
        };
        fs.afterFile = [this](int) {
            --active;
            ++finished;
        };
    }

    // `count` files f000, f001... of a few hundred bytes each, each its own.
    void MakeFiles(int count)
    {
        files = count;
        for (int i = 0; i < count; ++i)
            source.write(Name(i), Content(i));
    }
    static std::string Name(int i)
    {
        std::string name = std::to_string(i);
        return "f" + std::string(name.size() < 3 ? 3 - name.size() : 0, '0') + name;
    }
    static std::string Content(int i) { return Pattern(100 + static_cast<std::size_t>(i), static_cast<unsigned>(i)); }
    std::string InBucket(const std::string& name) const
    {
        return destination / (std::string(1, BucketLetter(name)) + "/" + name);
    }

    // The order a listing of the source gives its files now.
    std::vector<std::string> ListingOrder()
    {
        PosixFileSystem posix;
        std::vector<std::string> names;
        const auto listing = posix.listFiles(sourcePath);
        for (const std::string* name = &listing->next(); !name->empty(); name = &listing->next())
            names.push_back(*name);
        return names;
    }

    RunEnd SieveJournaled()
    {
        controls.mode.store(move ? TransferMode::Move : TransferMode::Copy);
        ++runs;
        return journaled.run(RunSettings {sourcePath, destinationPath, createDirs, only}, controls);
    }
};

// Files finishing out of order, some of them failing, one gone by its turn,
// on a file system that refuses what many shares refuse (so that the
// copies are written under temporary names): the files started, the
// journal and the failure entries come in listing order, and the counters
// come to what one file at a time comes to.
TEST(FilesInFlight, EverythingIsReportedInListingOrderWhicheverFinishesFirst)
{
    for (const bool move : {false, true}) {
        for (const int claim : {1, 4}) {
            SCOPED_TRACE(std::string(move ? "move" : "copy") + ", files claimed " + std::to_string(claim) +
                         " at a time");
            // The same folder, one file at a time and several at once.
            FlightWorld one(1);
            FlightWorld w;
            w.fs.claim = claim;
            std::vector<std::string> failing;
            std::string gone;
            for (FlightWorld* world : {&one, &w}) {
                world->move = move;
                world->fs.anonymousError = EOPNOTSUPP;
                world->fs.noReplaceError = EINVAL;
                world->fs.linkError = EPERM;
                world->MakeFiles(150); // more than the results kept at once
                const std::vector<std::string> order = world->ListingOrder();
                // A folder in the way fails a file where it is placed.
                failing = {order[10], order[37], order[90]};
                for (const std::string& name : failing) {
                    world->destination.mkdir(std::string(1, BucketLetter(name)));
                    world->destination.mkdir(std::string(1, BucketLetter(name)) + "/" + name);
                }
                gone = order[60];
                world->fs.beforeLength = [world, gone](const std::string& path) {
                    if (path == world->source / gone)
                        ::unlink(path.c_str());
                };
            }
            const std::vector<std::string> order = w.ListingOrder();

            EXPECT_EQ(one.SieveJournaled(), RunEnd::Completed);
            EXPECT_EQ(w.SieveJournaled(), RunEnd::Completed);

            EXPECT_GT(w.mostActive.load(), 1) << "files were in flight at once";
            EXPECT_EQ(w.observer.started, order);
            std::vector<std::string> placed;
            for (const std::string& name : order) {
                if (name != gone && std::find(failing.begin(), failing.end(), name) == failing.end())
                    placed.push_back(name);
            }
            EXPECT_EQ(w.journals.names(), placed);
            for (const auto& record : w.journals.files)
                EXPECT_EQ(record.mode, move ? TransferMode::Move : TransferMode::Copy);
            std::vector<std::string> failures;
            for (const std::string& message : w.messages()) {
                if (message.rfind("Could not", 0) == 0)
                    failures.push_back(message.substr(0, message.find('.')));
            }
            EXPECT_EQ(failures,
                      (std::vector<std::string> {"Could not copy/move file " + failing[0],
                                                 "Could not copy/move file " + failing[1],
                                                 "Could not copy/move file " + failing[2]}));
            const auto error = std::find_if(w.observer.events.begin(), w.observer.events.end(),
                                            [](const std::string& e) { return e.rfind("entry:Error while", 0) == 0; });
            ASSERT_NE(error, w.observer.events.end());
            EXPECT_EQ(*(error + 1), "log.show");
            EXPECT_EQ(w.observer.processed.filesProcessed, 150);
            EXPECT_EQ(w.observer.processed.filesFailed, 4);
            EXPECT_EQ(w.observer.processed.bytesProcessed, one.observer.processed.bytesProcessed);
            EXPECT_EQ(w.LastMessages(2), one.LastMessages(2));
            for (const std::string& name : placed) {
                EXPECT_EQ(ReadFile(w.InBucket(name)), FlightWorld::Content(std::stoi(name.substr(1)))) << name;
                EXPECT_EQ(Exists(w.source / name), !move) << name;
            }
            w.ExpectEndedCleanly();
        }
    }
}

// Stop with files in flight: the files in hand finish and are reported and
// journalled; none is taken up after; the rest stay where they were.
// With files claimed several at a time, the files claimed and not yet
// begun when Stop comes are left too.
TEST(FilesInFlight, StopEndsTheRunAfterTheFilesInHand)
{
    for (const int claim : {1, 4}) {
        SCOPED_TRACE("files claimed " + std::to_string(claim) + " at a time");
        FlightWorld w;
        w.fs.claim = claim;
        w.move = true;
        w.MakeFiles(80);
        w.onTakenUp = [&](int taken) {
            if (taken == 10)
                w.controls.stop.store(true);
        };

        EXPECT_EQ(w.SieveJournaled(), RunEnd::StoppedWhileProcessing);

        EXPECT_EQ(w.LastMessages(2),
                  (std::vector<std::string> {"Processing aborted by user.", "Cleaning up complete."}));
        const std::vector<std::string>& started = w.observer.started;
        // The tenth file and at most one more per other worker were begun
        // before Stop was seen.
        EXPECT_GE(started.size(), 10u);
        EXPECT_LE(started.size(), 13u);
        EXPECT_EQ(static_cast<std::size_t>(w.finished.load()), started.size()) << "no file handled goes unreported";
        EXPECT_EQ(w.journals.names(), started);
        EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
        const std::set<std::string> moved(started.begin(), started.end());
        for (int i = 0; i < w.files; ++i) {
            const std::string name = FlightWorld::Name(i);
            const bool wasMoved = moved.count(name) != 0;
            EXPECT_EQ(Exists(w.source / name), !wasMoved) << name;
            EXPECT_EQ(Exists(w.InBucket(name)), wasMoved) << name;
        }
        w.ExpectEndedCleanly();
    }
}

// What a run stopped part way left: every file it told as started was
// placed and journalled, every other file is still only in the source.
void ExpectStoppedCleanly(FlightWorld& w, RunEnd end)
{
    EXPECT_TRUE(end == RunEnd::StoppedWhileProcessing || end == RunEnd::Completed) << static_cast<int>(end);
    if (end == RunEnd::Completed) {
        EXPECT_EQ(w.observer.started.size(), static_cast<std::size_t>(w.files)) << "completed: Stop came too late";
    }
    EXPECT_EQ(w.journals.names(), w.observer.started);
    const std::set<std::string> moved(w.observer.started.begin(), w.observer.started.end());
    for (int i = 0; i < w.files; ++i) {
        const std::string name = FlightWorld::Name(i);
        const bool wasMoved = moved.count(name) != 0;
        EXPECT_EQ(Exists(w.source / name), !wasMoved || !w.move) << name;
        EXPECT_EQ(Exists(w.InBucket(name)), wasMoved) << name;
    }
    EXPECT_EQ(w.LastMessages(1), std::vector<std::string> {"Cleaning up complete."});
}

// Runs the journaled sieve of `w` on a thread of its own, bounded; whether
// it ended. A run that hangs keeps its world: the world is shared with the
// thread, which is left behind.
bool EndsWithinBound(const std::shared_ptr<FlightWorld>& w, RunEnd& end)
{
    auto result = std::make_shared<RunEnd>();
    const bool ended = FinishesWithin(20, [w, result] { *result = w->SieveJournaled(); }, {});
    end = *result;
    return ended;
}

// Stop set at each point of a small run with files in flight: as the pass
// that handles the files lists each name (before any worker took up a
// claim, or while some are in hand), as each file is taken up, and as each
// is done. Every time the run ends, and what it placed is what it told; it
// completes only where Stop came with no file left to take up.
TEST(FilesInFlight, StopAtAnyPointOfTheRunEndsIt)
{
    constexpr int kFiles = 6;
    enum class When { Listed, TakenUp, Handled };
    for (const int claim : {1, 4}) {
        for (const When when : {When::Listed, When::TakenUp, When::Handled}) {
            for (int point = 1; point <= kFiles; ++point) {
                SCOPED_TRACE("files claimed " + std::to_string(claim) + " at a time, stop at " +
                             std::to_string(static_cast<int>(when)) + ":" + std::to_string(point));
                auto w = std::make_shared<FlightWorld>(2);
                FlightWorld* world = w.get();
                w->fs.claim = claim;
                w->shuffle = false;
                w->move = true;
                w->MakeFiles(kFiles);
                const auto stopAt = [world, point](int reached) {
                    if (reached == point)
                        world->controls.stop.store(true);
                };
                if (when == When::Listed)
                    w->fs.afterListedAgain = stopAt;
                else if (when == When::TakenUp)
                    w->onTakenUp = stopAt;
                else
                    w->fs.afterFile = [stopAt, after = w->fs.afterFile](int handled) {
                        after(handled);
                        stopAt(handled);
                    };

                RunEnd end {};
                ASSERT_TRUE(EndsWithinBound(w, end)) << "the run hangs";
                ExpectStoppedCleanly(*w, end);
                if (when == When::Listed) {
                    EXPECT_EQ(end, RunEnd::StoppedWhileProcessing);
                }
            }
        }
    }
}

// Stop from another thread at a moment of its own, as a signal or the
// window's button gives it, in many runs: as many files in flight as a
// share has, and as a local copy has (claimed a few at a time). Every run
// ends.
TEST(FilesInFlight, StopFromAnotherThreadAlwaysEndsTheRun)
{
    constexpr int kRounds = 60;
    for (const auto& [inFlight, claim] : {std::pair {8, 1}, std::pair {2, 4}}) {
        SCOPED_TRACE(std::to_string(inFlight) + " in flight, claimed " + std::to_string(claim) + " at a time");
        for (int round = 0; round < kRounds; ++round) {
            auto w = std::make_shared<FlightWorld>(inFlight);
            w->fs.claim = claim;
            w->shuffle = false;
            w->move = round % 2 == 0;
            w->MakeFiles(12);
            // From the processing pass's listing on, a little later each round.
            std::thread stopper([w, round] {
                WaitFor([&] { return w->fs.listings.load() >= 2; });
                for (int i = 0; i < round % 40; ++i)
                    std::this_thread::yield();
                w->controls.stop.store(true);
            });
            RunEnd end {};
            const bool ended = EndsWithinBound(w, end);
            stopper.join();
            ASSERT_TRUE(ended) << "round " << round << ": the run hangs";
            ExpectStoppedCleanly(*w, end);
        }
    }
}

// Which folder the source is could not be read as the run began (a
// failing disk, once or for good): it is looked at once more, and where
// that fails too the run says at once, before any file is handled, that it
// cannot be taken back, and still places the files.
TEST(RunJournal, ASourceThatCannotBeLookedAtIsSaidAtOnce)
{
    for (const int inFlight : {1, 4}) {
        for (const int failures : {1, 2}) {
            SCOPED_TRACE(std::to_string(inFlight) + " in flight, " + std::to_string(failures) + " looks failing");
            FlightWorld w(inFlight);
            w.shuffle = false;
            w.move = true;
            w.MakeFiles(6);
            w.fs.identityFailures = failures;
            bool saidBeforeAFile = false;
            w.fs.beforeFile = [&](const std::string&, int index) {
                if (index == 1)
                    saidBeforeAFile = !w.MessagesStartingWith("The folder").empty();
            };

            EXPECT_EQ(w.SieveJournaled(), RunEnd::Completed);

            char* real = ::realpath(w.sourcePath.c_str(), nullptr);
            ASSERT_NE(real, nullptr);
            const std::string source = std::string(real) + "/";
            std::free(real);
            EXPECT_EQ(w.journals.names().size(), 6u);
            EXPECT_EQ(w.source.names(), std::set<std::string> {});
            EXPECT_EQ(w.MessagesStartingWith("File "), std::vector<std::string> {}) << "the run as a whole was named";
            if (failures == 1) {
                EXPECT_TRUE(w.journals.header.source.identity.known());
                EXPECT_EQ(w.MessagesStartingWith("The folder"), std::vector<std::string> {});
            } else {
                EXPECT_TRUE(saidBeforeAFile);
                EXPECT_EQ(w.MessagesStartingWith("The folder"),
                          std::vector<std::string> {"The folder " + source +
                                                    " could not be looked at (Input/output error): this run cannot be "
                                                    "taken back."});
            }
            w.ExpectEndedCleanly();
        }
    }
}

// A file placed that could not be looked at once in its place is named in
// the run's log as one an undo cannot take back; the run goes on.
TEST(RunJournal, APlacedFileThatCannotBeLookedAtIsNamed)
{
    for (const int inFlight : {1, 4}) {
        SCOPED_TRACE(std::to_string(inFlight) + " in flight");
        FlightWorld w(inFlight);
        w.MakeFiles(8);
        const std::string unseen = FlightWorld::Name(3);
        w.fs.outcomeOf = [&](const std::string& name, FileOutcome& outcome) {
            if (name == unseen)
                outcome.placed = {};
        };

        EXPECT_EQ(w.SieveJournaled(), RunEnd::Completed);

        EXPECT_EQ(w.MessagesStartingWith("File "),
                  std::vector<std::string> {"File " + unseen +
                                            " was placed but could not be looked at afterwards: it cannot be taken "
                                            "back."});
        EXPECT_EQ(w.journals.names().size(), 8u);
        EXPECT_EQ(w.MessagesStartingWith("Operation complete"),
                  std::vector<std::string> {"Operation complete. 8 file(s) processed."});
        w.ExpectEndedCleanly();
    }
}

// A file in flight is told as started while it is being handled (a long
// copy shows its own name), once the files before it are settled.
TEST(FilesInFlight, AFileIsToldAsStartedWhileItIsHandled)
{
    FlightWorld w(2);
    w.shuffle = false;
    w.MakeFiles(6);
    bool toldWhileHandled = false;
    w.onTakenUp = [&](int taken) {
        if (taken == 3)
            toldWhileHandled = WaitFor([&] { return w.observer.startedCount.load() >= 3; });
    };

    EXPECT_EQ(w.SieveJournaled(), RunEnd::Completed);
    EXPECT_TRUE(toldWhileHandled);
    EXPECT_EQ(w.observer.started, w.ListingOrder());
}

// The mode switched while files are in flight applies from a file on, in
// listing order: the files copied come first, then only moved ones, and the
// journal says which was which.
TEST(FilesInFlight, AModeSwitchAppliesFromAFileOnInListingOrder)
{
    FlightWorld w;
    w.MakeFiles(60);
    w.onTakenUp = [&](int taken) {
        if (taken == 10)
            w.controls.mode.store(TransferMode::Move);
    };

    EXPECT_EQ(w.SieveJournaled(), RunEnd::Completed);

    ASSERT_EQ(w.journals.files.size(), 60u);
    std::size_t copied = 0;
    while (copied < 60 && w.journals.files[copied].mode == TransferMode::Copy)
        ++copied;
    EXPECT_GE(copied, 10u) << "the files taken up before the switch are copied";
    EXPECT_LT(copied, 60u) << "the switch applies while the run goes on";
    for (std::size_t i = 0; i < 60; ++i) {
        const RecordingJournals::Record& record = w.journals.files[i];
        EXPECT_EQ(record.mode, i < copied ? TransferMode::Copy : TransferMode::Move) << record.name;
        EXPECT_EQ(Exists(w.source / record.name), record.mode == TransferMode::Copy) << record.name;
        EXPECT_TRUE(Exists(w.InBucket(record.name))) << record.name;
    }
    EXPECT_EQ(w.MessagesStartingWith("Copy Mode"), std::vector<std::string> {"Copy Mode = Copy"});
    w.ExpectEndedCleanly();
}

// Links listed among the files they lead to, all moved with files in
// flight: each link is taken along as the link it is, in a run over the
// whole folder and in one restricted to names (as a watched folder's).
TEST(FilesInFlight, LinksAmongFilesInFlightAreMovedAsLinks)
{
    for (const bool restricted : {false, true}) {
        SCOPED_TRACE(restricted ? "restricted to names" : "the whole folder");
        FlightWorld w;
        w.move = true;
        w.MakeFiles(40);
        w.shuffle = false; // a link goes alone: nothing could overtake it
        for (int i = 0; i < 40; i += 2)
            MakeSymlink(FlightWorld::Name(i), w.source / ("link" + std::to_string(i)));
        if (restricted)
            w.only = w.ListingOrder();
        std::atomic<int> linksNotAlone {0};
        w.fs.beforeFile = [&, before = w.fs.beforeFile](const std::string& name, int i) {
            before(name, i);
            if (name.starts_with("link") && w.active.load() > 1)
                ++linksNotAlone;
        };

        EXPECT_EQ(w.SieveJournaled(), RunEnd::Completed);

        EXPECT_EQ(w.source.names(), std::set<std::string> {});
        EXPECT_EQ(linksNotAlone.load(), 0);
        EXPECT_EQ(w.MessagesStartingWith("Could not"), std::vector<std::string> {});
        EXPECT_EQ(w.MessagesStartingWith("Operation"),
                  std::vector<std::string> {"Operation complete. 60 file(s) processed."});
        for (int i = 0; i < 40; i += 2) {
            char text[32] = {};
            EXPECT_GT(::readlink((w.destination / ("L/link" + std::to_string(i))).c_str(), text, sizeof text - 1), 0);
            EXPECT_EQ(text, FlightWorld::Name(i));
        }
        w.ExpectEndedCleanly();
    }
}

// A run killed while copies are in the middle of their data, within one
// file system and across two: nothing half-written is left, and every file
// is whole in the source or whole in its bucket.
TEST(FilesInFlight, AKillWithFilesInFlightLeavesNothingHalfWritten)
{
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "move across file systems" : "copy");
        TempDir other;
        RunWorld w;
        const int files = 60;
        const std::size_t size = 3 << 20; // some chunks each
        for (int i = 0; i < files; ++i)
            w.source.write(FlightWorld::Name(i), Pattern(size, static_cast<unsigned>(i)));
        const std::string ready = other / "ready";

        const pid_t child = ::fork();
        if (child == 0) {
            w.move = move;
            w.fs.inFlight = 8;
            // A move across file systems: it copies, then removes the source.
            if (move)
                w.fs.noReplaceError = EXDEV;
            std::atomic<int> chunks {0};
            // Once some files are placed, every copy stops in the middle of
            // its data until the kill comes.
            w.fs.beforeCopyRange = [&] {
                const int chunk = ++chunks;
                if (chunk < 30)
                    return;
                if (chunk == 36)
                    ::close(::open(ready.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
                for (;;)
                    ::pause();
            };
            w.Sieve();
            ::_exit(0);
        }
        const bool reached = WaitFor([&] { return Exists(ready); });
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(reached) << "the run got to files in flight";
        ASSERT_TRUE(WIFSIGNALED(status));

        EXPECT_EQ(TemporaryLeftovers(w.sourcePath), std::vector<std::string> {});
        EXPECT_EQ(TemporaryLeftovers(w.destinationPath), std::vector<std::string> {});
        int placed = 0;
        for (int i = 0; i < files; ++i) {
            const std::string name = FlightWorld::Name(i);
            const std::string content = Pattern(size, static_cast<unsigned>(i));
            const std::string inBucket = w.destinationPath + "/" + BucketLetter(name) + "/" + name;
            const bool inSource = Exists(w.sourcePath + "/" + name);
            if (Exists(inBucket)) {
                ++placed;
                EXPECT_EQ(ReadFile(inBucket) == content, true) << name << " is whole in its bucket";
            }
            if (inSource) {
                EXPECT_EQ(ReadFile(w.sourcePath + "/" + name) == content, true) << name;
            }
            EXPECT_TRUE(inSource || Exists(inBucket)) << name;
        }
        EXPECT_GT(placed, 0);
        EXPECT_LT(placed, files);
    }
}

} // namespace
} // namespace quillbox::test
