// The outbox against what does not belong in it: pipes, devices and links
// put among the entries, and folders that refuse to be flushed.
#include "Corvane.h"
#include "HostileFiles.h"
#include "OutboxFixture.h"
#include "ScoreJson.h"
#include "delivery/Outbox.h"
#include "delivery/ScorePoster.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

using namespace postscore_test;
using Corvane::detail::EncodeRecord;
using Corvane::detail::Outbox;
using Corvane::detail::OutboxRecord;
using score_protocol::ScoreBody;

namespace {

const std::string kGame = "Barnblast V2";

class HostileOutbox : public OutboxFixture {
protected:
    static OutboxRecord Record(int port, const std::string& name, const std::string& id) {
        return {"http://127.0.0.1:" + std::to_string(port) + "/api/scores",
                score_protocol::ScoreBody(kGame, 7, name, id)};
    }

    // Puts beside the outbox's real entries a pipe, a link to a whole,
    // valid entry kept outside the folder, a link to a device and a folder,
    // all under entry names; returns the pipe's path.
    fs::path PlantStrangers(int port) {
        const fs::path box = dir_ / "outbox";
        fs::create_directories(box);
        const fs::path fifo = box / "0000000000000000-pipe.score";
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        outside_ = EncodeRecord(Record(port, "Outside", "99999999-9999-4999-8999-999999999999"));
        std::ofstream(dir_ / "outside.score", std::ios::binary) << outside_;
        fs::create_symlink(dir_ / "outside.score", box / "0000000000000001-link.score");
        fs::create_symlink("/dev/zero", box / "0000000000000002-zero.score");
        fs::create_directory(box / "0000000000000003-folder.score");
        return fifo;
    }

    // The strangers are all still there, untouched.
    void ExpectStrangersLeftAlone() const {
        const fs::path box = dir_ / "outbox";
        EXPECT_TRUE(fs::is_fifo(fs::symlink_status(box / "0000000000000000-pipe.score")));
        EXPECT_TRUE(fs::is_symlink(box / "0000000000000001-link.score"));
        EXPECT_TRUE(fs::is_symlink(box / "0000000000000002-zero.score"));
        EXPECT_TRUE(fs::is_directory(box / "0000000000000003-folder.score"));
        EXPECT_EQ(ReadFile(dir_ / "outside.score"), outside_);
        EXPECT_FALSE(fs::exists(box / "0000000000000001-link.score.bad"));
    }

    // Adds an entry as a player would (no root override) to an outbox folder
    // that has only `perms`, then gives the folder back to its owner.
    bool AddToFolderWith(fs::perms perms, const std::string& id, const std::string& name, std::string& error) const {
        const fs::path boxDir = dir_ / "outbox";
        fs::create_directories(boxDir);
        fs::permissions(boxDir, perms);
        bool stored = false;
        {
            hostile::WithoutPermissionOverride asPlayer;
            stored = Outbox(boxDir).Add(id, Record(1, name, id), error);
        }
        fs::permissions(boxDir, fs::perms::owner_all);
        return stored;
    }

    std::string outside_;
};

TEST_F(HostileOutbox, StrangersAreNeitherListedNorOpenedNorMoved) {
    const fs::path fifo = PlantStrangers(1);
    Outbox box(dir_ / "outbox");
    std::string error;
    ASSERT_TRUE(box.Add("11111111-1111-4111-8111-111111111111", Record(1, "Real", "1"), error)) << error;

    const auto files = box.List();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].ends_with("-11111111-1111-4111-8111-111111111111.score"));

    // Even asked by name, a claim opens none of them: no wait on the pipe,
    // nothing read through a link.
    hostile::FifoWatchdog watchdog(fifo.string());
    ::testing::internal::CaptureStderr();
    for (const char* name : {"0000000000000000-pipe.score", "0000000000000001-link.score",
                             "0000000000000002-zero.score", "0000000000000003-folder.score"}) {
        EXPECT_FALSE(box.TryClaim(name)) << name;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(watchdog.Finish()) << "blocked opening the pipe";
    ExpectStrangersLeftAlone();

    // A sender's start says once what each is, and leaves them be.
    ::testing::internal::CaptureStderr();
    box.SweepTemporaries();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;
    for (const char* what : {"pipe.score in the outbox is a named pipe", "link.score in the outbox is a symbolic link",
                             "zero.score in the outbox is a symbolic link", "folder.score in the outbox is a folder"}) {
        EXPECT_NE(err.find(what), std::string::npos) << what << "\n" << err;
    }
    ExpectStrangersLeftAlone();
}

// Through the real service: the real entry is delivered, nothing reached
// through a link is sent, and CloseLib returns.
TEST_F(HostileOutbox, ServiceSendsTheRealEntryAndStillCloses) {
    const auto server = StartServer();
    const fs::path fifo = PlantStrangers(server.Port());
    {
        Outbox box(dir_ / "outbox");
        std::string error;
        ASSERT_TRUE(box.Add("22222222-2222-4222-8222-222222222222",
                            Record(server.Port(), "Real", "22222222-2222-4222-8222-222222222222"), error))
            << error;
    }

    hostile::FifoWatchdog watchdog(fifo.string());
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(Corvane::InitLib(5));
    EXPECT_TRUE(WaitFor([&] { return Outbox(dir_ / "outbox").List().empty(); }, std::chrono::seconds(10)));
    Corvane::CloseLib();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(watchdog.Finish()) << "CloseLib blocked on the pipe";

    const auto rows = Table(server, kGame);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Real");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;
    ExpectStrangersLeftAlone();
}

// A folder whose flush fails once the entry is renamed into place: the entry
// is there and will be sent, so it is reported stored, with a warning.
TEST_F(HostileOutbox, EntryInPlaceIsStoredEvenWhenTheFolderFlushFails) {
    const fs::path boxDir = dir_ / "outbox";
    std::string error;
    ::testing::internal::CaptureStderr();
    // Writable and searchable but not readable: entries can be made and
    // renamed, but the folder cannot be opened to flush it.
    const bool stored = AddToFolderWith(fs::perms::owner_write | fs::perms::owner_exec,
                                        "33333333-3333-4333-8333-333333333333", "Kept", error);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(stored) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("score stored in " + boxDir.string()), std::string::npos) << err;
    EXPECT_NE(err.find("could not be flushed"), std::string::npos) << err;
    Outbox box(boxDir);
    ASSERT_EQ(box.List().size(), 1u);
    EXPECT_TRUE(box.TryClaim(box.List()[0]));
}

// True failures are still reported as such.
TEST_F(HostileOutbox, EntryThatCannotBeWrittenIsReportedNotStored) {
    std::string error;
    EXPECT_FALSE(AddToFolderWith(fs::perms::owner_read | fs::perms::owner_exec, "44444444-4444-4444-8444-444444444444",
                                 "Lost", error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_TRUE(Outbox(dir_ / "outbox").List().empty());
}

// Every missing level is made (and the outbox itself private); a file where
// a folder should be is a failure named as such.
TEST_F(HostileOutbox, MissingFoldersAreMadeAndAFileInTheWayIsNamed) {
    const fs::path deep = dir_ / "state" / "barnblast" / "outbox";
    Outbox box(deep);
    std::string error;
    ASSERT_TRUE(box.Add("55555555-5555-4555-8555-555555555555", Record(1, "Deep", "5"), error)) << error;
    EXPECT_EQ(box.List().size(), 1u);
    EXPECT_EQ(fs::status(deep).permissions() & fs::perms::all, fs::perms::owner_all);

    std::ofstream(dir_ / "file") << "in the way";
    Outbox blocked(dir_ / "file" / "outbox");
    EXPECT_FALSE(blocked.Add("66666666-6666-4666-8666-666666666666", Record(1, "No", "6"), error));
    EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
}

}  // namespace
