// The end of a round: the scoreless clip, the send prompt, the name file.
#ifndef _WIN32
#include "HostileFiles.h"
#endif
#include "GameFixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>
#include <optional>

namespace {

using Strings = std::vector<std::string>;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Nothing but name.dat may be left in the working folder.
Strings FilesHere() {
    Strings names;
    for (auto& e : std::filesystem::directory_iterator(".")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Submission : public GameTest {};

TEST_F(Submission, NegativeScorePlaysTheScorelessClipAndWaits) {
    score = -5;
    fake::ScriptKeys(Keys({{10, 'y'}}));
    FinishRound();
    EXPECT_EQ(recording::What(),
              (Strings{"scoreless.wav Open(media/scoreless.wav)", "scoreless.wav Play(-1,false,128,128)",
                       "scoreless.wav GetLength()", "scoreless.wav Close()"}));
    EXPECT_EQ(fake::Now(), 3138 + 500);
    EXPECT_EQ(fake::KeysLeft(), 1);
    EXPECT_EQ(out_.str(), "");
}

TEST_F(Submission, ZeroIsOfferedPromptOnceLineEndPerKeyUpperCaseIgnored) {
    fake::ScriptKeys(
        Keys({{10, 'Y'}, {10, 'N'}, {10, platform::kArrowPrefix}, {0, platform::kArrowRight}, {10, 'n'}, {10, 'y'}}));
    FinishRound();
    EXPECT_EQ(recording::What(), (Strings{"SendScore.wav Open(Media/SendScore.wav)",
                                          "SendScore.wav Play(-1,false,128,128)", "SendScore.wav Close()"}));
    EXPECT_EQ(out_.str(), "\n\n\n\n\n");
    EXPECT_EQ(fake::KeysLeft(), 1);
}

TEST_F(Submission, FirstTimeAsksTheNameStoresItAndPosts) {
    score = 35;
    fake::ScriptKeys(Keys({{10, 'y'}}));
    fake::ScriptLines({"Ada Lovelace"});
    FinishRound();
    EXPECT_EQ(recording::What(),
              (Strings{"SendScore.wav Open(Media/SendScore.wav)", "SendScore.wav Play(-1,false,128,128)",
                       "Name.wav Open(Media/Name.wav)", "Name.wav Play(-1,false,128,128)", "Name.wav Close()",
                       "PostScore(Barnblast V2,35,Ada Lovelace,localhost:8765)", "SendScore.wav Close()"}));
    EXPECT_EQ(Read("name.dat"), "Ada Lovelace");  // no line end, as always
    EXPECT_EQ(FilesHere(), Strings{"name.dat"});
    EXPECT_EQ(out_.str(), "\n");
}

TEST_F(Submission, StoredNameIsUsedWithoutAsking) {
    Write("name.dat", "Grace Hopper");
    fake::ScriptKeys(Keys({{10, 'y'}}));
    FinishRound();
    EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,Grace Hopper,localhost:8765)"), 1);
    EXPECT_EQ(IndexOf("Name.wav Open(Media/Name.wav)"), -1);
}

TEST_F(Submission, FileWithSeveralLinesSendsItsFirst) {
    for (const char* text : {"Linus\nsecond line\n", "Linus\r\nfrom Windows\r\n"}) {
        recording::Reset();
        Write("name.dat", text);
        fake::ScriptKeys(Keys({{10, 'y'}}));
        FinishRound();
        EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,Linus,localhost:8765)"), 1) << text;
        EXPECT_EQ(Read("name.dat"), text);  // left as it was
    }
}

TEST_F(Submission, EmptyNameFileCountsAsMissing) {
    Write("name.dat", "");
    fake::ScriptKeys(Keys({{10, 'y'}}));
    fake::ScriptLines({"Barbara"});
    FinishRound();
    EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,Barbara,localhost:8765)"), 1);
    EXPECT_EQ(Read("name.dat"), "Barbara");
}

TEST_F(Submission, EmptyLineOrEndOfInputPostsButStoresNothing) {
    for (auto line : {std::optional<std::string>(""), std::optional<std::string>()}) {
        recording::Reset();
        fake::ScriptKeys(Keys({{10, 'y'}}));
        fake::ScriptLines({line});
        FinishRound();
        EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,,localhost:8765)"), 1);
        EXPECT_EQ(FilesHere(), Strings{});
    }
    // And the next round asks again.
    recording::Reset();
    fake::ScriptKeys(Keys({{10, 'y'}}));
    fake::ScriptLines({"Edsger"});
    FinishRound();
    EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,Edsger,localhost:8765)"), 1);
}

TEST_F(Submission, NameIsKeptWholeAndExactly) {
    const std::string name = "  Jean-Luc \"JL\" Picard \\ \xC3\xA9t\xC3\xA9  ";
    fake::ScriptKeys(Keys({{10, 'y'}}));
    fake::ScriptLines({name});
    FinishRound();
    EXPECT_EQ(Read("name.dat"), name);
    EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0," + name + ",localhost:8765)"), 1);
}

TEST_F(Submission, UnwritableFolderStillPostsTheTypedName) {
    std::filesystem::create_directory("name.dat");  // a folder where the file should be
    fake::ScriptKeys(Keys({{10, 'y'}}));
    fake::ScriptLines({"Alan"});
    FinishRound();
    EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,Alan,localhost:8765)"), 1);
    EXPECT_EQ(FilesHere(), Strings{"name.dat"});  // no temporary left behind
    EXPECT_TRUE(std::filesystem::is_directory("name.dat"));
}

#ifndef _WIN32  // named pipes, devices and permission bits as Linux has them
// A name.dat that is a pipe, a device or a file the player may not read:
// the player is asked, the typed name is sent, the game never waits on it,
// and a pipe or device is left where it is.
TEST_F(Submission, NameFileThatCannotBeReadIsAskedForAndNeverWaitedOn) {
    for (const std::string kind : {"pipe", "device", "unreadable"}) {
        SCOPED_TRACE(kind);
        recording::Reset();
        std::filesystem::remove("name.dat");
        std::optional<hostile::FifoWatchdog> watchdog;
        if (kind == "pipe") {
            ASSERT_EQ(::mkfifo("name.dat", 0600), 0);
            watchdog.emplace("name.dat");
        } else if (kind == "device") {
            std::filesystem::create_symlink("/dev/zero", "name.dat");
        } else {
            Write("name.dat", "Secret");
            std::filesystem::permissions("name.dat", std::filesystem::perms::owner_write);
        }
        fake::ScriptKeys(Keys({{10, 'y'}}));
        fake::ScriptLines({"Margaret"});
        {
            hostile::WithoutPermissionOverride asPlayer;
            FinishRound();
        }
        if (watchdog) {
            EXPECT_TRUE(watchdog->Finish()) << "blocked on name.dat";
        }
        EXPECT_EQ(Count(recording::What(), "Name.wav Play(-1,false,128,128)"), 1);
        EXPECT_EQ(Count(recording::What(), "PostScore(Barnblast V2,0,Margaret,localhost:8765)"), 1);
        EXPECT_EQ(FilesHere(), Strings{"name.dat"});  // no temporary left behind
        if (kind == "pipe") {
            EXPECT_TRUE(std::filesystem::is_fifo(std::filesystem::symlink_status("name.dat")));
        }
    }
}
#endif

}  // namespace
