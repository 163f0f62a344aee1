// simctl as a user runs it: usage, option errors and exit codes, and the exact
// request line it sends to a stand-in emulator on a private loopback port,
// which simctl takes from the simulation file named by ZELMO_SIM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "drivesim_util.h"

namespace {

// Accepts one connection on a private port, records the request bytes up to
// the newline and answers with a fixed reply before closing. simctl finds the
// port in the simulation file of Env().
class FakeEmulator {
  public:
    explicit FakeEmulator(std::string reply = "") : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ok_ = fd_ >= 0 && bind(fd_, (sockaddr *)&a, sizeof a) == 0 && listen(fd_, 1) == 0 &&
              getsockname(fd_, (sockaddr *)&a, &len) == 0 &&
              WriteFileBytes(dir_ / "sim.txt", "control_port = " + std::to_string(ntohs(a.sin_port)) + "\n");
        if (ok_) thread_ = std::thread([this] { Serve(); });
    }
    std::vector<std::string> Env() const { return {"ZELMO_SIM=" + dir_ / "sim.txt"}; }
    ~FakeEmulator() {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    // The request received (waits for the connection to end).
    std::string Request() {
        if (thread_.joinable()) thread_.join();
        return request_;
    }

  private:
    void Serve() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char ch;
        while (read(c, &ch, 1) == 1) {
            request_ += ch;
            if (ch == '\n') break;
        }
        if (!reply_.empty() && write(c, reply_.data(), reply_.size()) < 0) request_ += "<reply failed>";
        close(c);
    }
    ScratchDir dir_;
    std::string reply_;
    std::string request_;
    int fd_ = -1;
    bool ok_ = false;
    std::thread thread_;
};

TEST(Simctl, UsageWithoutArguments) {
    RunResult r = RunProgram("simctl", {});
    EXPECT_EQ(0, r.status);
    std::string path = BinPath("simctl");
    EXPECT_EQ("FDD emulation controller\n\nUsage: " + path + " -i ID -c CMD [FILE]\n\n"
              " ID is unit number {0|1}.\n CMD is operation command {insert|eject|protect}\n"
              " FILE is image file path\n\nUsage: " + path + " -l\n\n Print device list.\n\n"
              "Usage: " + path + " --stop\n\n Stop drivesim prosess.\n",
              WithoutBanner(r.out));
}

struct OptionError {
    std::vector<std::string> args;
    int status;
    const char *err;  // exact standard error
};

// Every one of these fails before a connection is tried.
TEST(Simctl, OptionErrors) {
    const OptionError cases[] = {
        {{"-i", "0", "-c", "insert"}, 22, "Error : Invalid file path\n"},
        {{"-i", "0", "-c", "insert", ""}, 22, "Error : Invalid file path\n"},
        {{"-i", "0", "-c", "insert", std::string(8200, 'a')}, 22, "Error : Invalid file path\n"},
        {{"-c", "eject"}, 22, "Error : Invalid ID\n"},
        {{"-i", "5", "-c", "eject"}, 22, "Error : Invalid ID\n"},
        {{"-i", "-1", "-c", "eject"}, 22, "Error : Invalid ID\n"},
        {{"-i", "0"}, 22, "Error : Invalid Command\n"},
        {{"-i", "1", "-c", "xyz", "a.zel"}, 22, "Error : Invalid Command\n"},
        {{"-z", "-i", "0", "-c", "eject"}, 0, ""},  // unknown option: silent exit
        {{"-i"}, 0, ""},                            // missing argument counts as unknown
    };
    for (const auto &c : cases) {
        RunResult r = RunProgram("simctl", c.args);
        std::string what = c.args.empty() ? "" : c.args[0] + " ...";
        EXPECT_EQ(c.status, r.status) << what;
        EXPECT_EQ(c.err, r.err) << what;
        EXPECT_EQ("", r.out) << what;
    }
}

TEST(ControlPort, NoEmulatorExits107) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "sim.txt", "control_port = " + std::to_string(FreePort()) + "\n"));
    for (auto args : std::vector<std::vector<std::string>>{{"-i", "0", "-c", "eject"}, {"-l"}, {"--stop"}}) {
        RunResult r = RunProgram("simctl", args, {"ZELMO_SIM=" + dir / "sim.txt"});
        EXPECT_EQ(107, r.status) << args[0];
        EXPECT_EQ("Error : Can't connect to emulator process\n", r.err) << args[0];
    }
}

struct RequestCase {
    std::vector<std::string> args;
    const char *line;
};

const char kSuccess[] = "Result             : Success\n";

TEST(ControlPort, RequestLines) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    // A relative path reaches the emulator as seen from simctl's folder.
    const std::string relative = std::string("1 1 ") + cwd + "/multi.d88/3\n";
    const RequestCase cases[] = {
        {{"-i", "0", "-c", "insert", "/disks/GAME.D88"}, "0 1 /disks/GAME.D88\n"},
        {{"-i", "1", "-c", "Insert", "multi.d88/3"}, relative.c_str()},
        {{"-i", "0", "-c", "eject"}, "0 2 -\n"},
        {{"-c", "e", "-i", "1"}, "1 2 -\n"},
        {{"-i", "1", "-c", "E"}, "1 2 -\n"},
        {{"-i", "0", "-c", "p"}, "0 3 -\n"},
        {{"-i", "0", "-c", "eject", "-c", "zap"}, "0 2 -\n"},  // an unknown CMD keeps the previous one
        {{"-l", "-i", "5"}, "list\n"},
        {{"--verbose", "-l"}, "list\n"},
        {{"--stop"}, "stop\n"},
        {{"--stop", "-l"}, "stop\n"},
    };
    for (const auto &c : cases) {
        FakeEmulator emu(kSuccess);
        ASSERT_TRUE(emu.ok());
        RunResult r = RunProgram("simctl", c.args, emu.Env());
        EXPECT_EQ(0, r.status) << c.line;
        EXPECT_EQ(c.line, emu.Request());
        EXPECT_EQ("", r.err) << c.line;
    }
}

// The answer to a drive command decides simctl's exit code: 0 only with the
// success line; the emulator's messages go to standard error.
TEST(Simctl, ResultOfADriveCommand) {
    struct Case {
        std::string reply;
        int status;
        const char *out, *err;
    } cases[] = {
        {kSuccess, 0, kSuccess, ""},
        {std::string("Warning : Can't save A.ZEL, changes written to A.RESCUE.ZEL\n") + kSuccess, 0, kSuccess,
         "Warning : Can't save A.ZEL, changes written to A.RESCUE.ZEL\n"},
        {"Error : Can't load /x.d88\n", 14, "", "Error : Can't load /x.d88\n"},
        {"", 14, "", "Error : No answer from emulator process\n"},
    };
    for (const Case &c : cases) {
        FakeEmulator emu(c.reply);
        ASSERT_TRUE(emu.ok());
        RunResult r = RunProgram("simctl", {"-i", "0", "-c", "insert", "/x.d88"}, emu.Env());
        EXPECT_EQ(c.status, r.status) << c.reply;
        EXPECT_EQ(c.out, r.out) << c.reply;
        EXPECT_EQ(c.err, r.err) << c.reply;
        EXPECT_EQ("0 1 /x.d88\n", emu.Request());
    }
    // A simulation file without a usable port is refused, never replaced by
    // the port of a real emulator.
    ScratchDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "bad.sim", "control_port = http\n"));
    for (std::string sim : {dir / "bad.sim", dir / "missing.sim"}) {
        RunResult r = RunProgram("simctl", {"-l"}, {"ZELMO_SIM=" + sim});
        EXPECT_EQ(22, r.status) << sim;
        EXPECT_EQ("Error : Can't read the control port of ZELMO_SIM " + sim + "\n", r.err);
    }
}

TEST(ControlPort, ReplyIsCopiedToStandardOutput) {
    const std::string table = "----\n ID | WP | CL | DISK IMAGE\n  0 | -- | 00 | EMPTY\n----\n";
    FakeEmulator emu(table);
    ASSERT_TRUE(emu.ok());
    RunResult r = RunProgram("simctl", {"-l"}, emu.Env());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(table, r.out);
    EXPECT_EQ("list\n", emu.Request());
}

}  // namespace
