// simctl: the remote control of a running drivesim. Every request is one
// text line sent over its own TCP connection to the emulator on 127.0.0.1;
// the connection closes only after the emulator has carried the request out,
// so an insert or an eject has finished when simctl returns (a stop once the
// images are saved). The drive table is copied to standard output; the
// answer to a drive command or a stop is its result:
// "Error : " and "Warning : " lines go to standard error, and simctl exits 0
// only when the answer ends in "Result             : Success" (14 when the
// command was refused or not answered).
//
// The port is 6869; when ZELMO_SIM names a simulation file (a drivesim on
// the simulated board), its "control_port" setting, so that a simulated run
// never reaches the emulator of a real board.
//
// Requests:
//   "list"                 the drive table
//   "stop"                 stop the emulator (answered with the result)
//   "D C FILE"             drive D (0, 1), command C (1 insert, 2 eject,
//                          3 protect); FILE is "-" for eject and protect, and
//                          an absolute path for insert (the emulator runs in
//                          a folder of its own)
//
// Links nothing of libzelmo: the standard library and POSIX only.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../common/version.h"

#include "cmdline.h"

enum { CONTROL_PORT = 6869, LINE_MAX_CHARS = 8191 };
static int controlport = CONTROL_PORT;
enum { EXIT_OK = 0, EXIT_REFUSED = 14, EXIT_BADOPTION = 22, EXIT_NOSERVER = 107 };
enum { CMD_NONE = 0, CMD_INSERT = 1, CMD_EJECT = 2, CMD_PROTECT = 3 };

// Takes the control port from the simulation file named by ZELMO_SIM, if
// any: its "control_port = N" line ('#' starts a comment). 0 when the file
// cannot be read or the setting is not a port.
static int ReadSimulatedPort() {
    const char *sim = getenv("ZELMO_SIM");
    if (!sim || !*sim) return 1;
    FILE *f = fopen(sim, "r");
    if (!f) return 0;
    char line[1024];
    int ok = 1;
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "#\r\n")] = 0;
        char *eq = strchr(line, '=');
        if (!eq) continue;
        char *key = line + strspn(line, " \t");
        size_t keylen = (size_t)(eq - key);
        while (keylen > 0 && (key[keylen - 1] == ' ' || key[keylen - 1] == '\t')) keylen--;
        if (keylen != 12 || strncmp(key, "control_port", 12) != 0) continue;
        char *end = nullptr;
        long port = strtol(eq + 1, &end, 10);
        bool digits = end != eq + 1;
        end += strspn(end, " \t");
        ok = digits && *end == 0 && port > 0 && port < 65536;
        if (ok) controlport = (int)port;
    }
    fclose(f);
    return ok;
}

static int WriteAll(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        len -= (size_t)n;
    }
    return 1;
}

// Connects to the emulator, sends line and reads the reply until the
// emulator closes the connection. 0 when it cannot be reached.
static int SendCommand(const char *line, std::string *reply) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)controlport);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (const sockaddr *)&addr, sizeof addr) < 0 || !WriteAll(fd, line, strlen(line))) {
        if (fd >= 0) close(fd);
        fprintf(stderr, "Error : Can't connect to emulator process\n");
        return 0;
    }
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply->append(buf, (size_t)n);
    }
    close(fd);
    return 1;
}

static bool StartsWith(const std::string &s, const char *prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// Prints the answer to a drive command and gives the exit code: its
// messages to standard error, anything else to standard output.
static int ShowResult(const std::string &reply) {
    bool success = false;
    size_t at = 0;
    while (at < reply.size()) {
        size_t nl = reply.find('\n', at);
        std::string text = reply.substr(at, nl == std::string::npos ? std::string::npos : nl + 1 - at);
        at = nl == std::string::npos ? reply.size() : nl + 1;
        if (text == "Result             : Success\n") success = true;
        fputs(text.c_str(), StartsWith(text, "Error : ") || StartsWith(text, "Warning : ") ? stderr : stdout);
    }
    fflush(stdout);
    if (!success && reply.empty()) fprintf(stderr, "Error : No answer from emulator process\n");
    return success ? EXIT_OK : EXIT_REFUSED;
}

static void Usage(const char *prog) {
    printf(ZELMO_BANNER_FORMAT, ZELMO_BANNER_ARGS);
    printf("FDD emulation controller\n");
    printf("\n");
    printf("Usage: %s -i ID -c CMD [FILE]\n\n", prog);
    printf(" ID is unit number {0|1}.\n");
    printf(" CMD is operation command {insert|eject|protect}\n");
    printf(" FILE is image file path\n");
    printf("\n");
    printf("Usage: %s -l\n\n", prog);
    printf(" Print device list.\n");
    printf("\n");
    printf("Usage: %s --stop\n\n", prog);
    printf(" Stop drivesim prosess.\n");
}

// Sends the list request, copies the drive table and ends the program.
static int SendList() {
    std::string reply;
    if (!SendCommand("list\n", &reply)) return EXIT_NOSERVER;
    fputs(reply.c_str(), stdout);
    return EXIT_OK;
}

// The file as the emulator must see it: relative paths are taken from this
// program's working folder, not the emulator's.
static std::string Absolute(const char *file) {
    if (file[0] == '/') return file;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return "";
    return std::string(cwd) + "/" + file;
}

int main(int argc, char **argv) {
    if (AnswerVersion(argc, argv)) return EXIT_OK;
    if (argc < 2 || WantsHelp(argc, argv)) {
        Usage(argv[0]);
        return EXIT_OK;
    }
    if (!ReadSimulatedPort()) {
        fprintf(stderr, "Error : Can't read the control port of ZELMO_SIM %s\n", getenv("ZELMO_SIM"));
        return EXIT_BADOPTION;
    }

    int drive = -1;
    int command = CMD_NONE;
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "i:c:l-:")) != -1) {
        switch (opt) {
        case 'i': drive = optarg[0] - '0'; break;
        case 'c':
            switch (optarg[0]) {
            case 'i': case 'I': command = CMD_INSERT; break;
            case 'e': case 'E': command = CMD_EJECT; break;
            case 'p': case 'P': command = CMD_PROTECT; break;
            default: break;
            }
            break;
        case 'l': return SendList();
        case '-':
            if (strcmp(optarg, "stop") == 0) {
                std::string reply;
                return SendCommand("stop\n", &reply) ? ShowResult(reply) : EXIT_NOSERVER;
            }
            break;
        default: return EXIT_OK;
        }
    }

    const char *file = optind < argc ? argv[optind] : nullptr;
    if (drive != 0 && drive != 1) {
        fprintf(stderr, "Error : Invalid ID\n");
        return EXIT_BADOPTION;
    }
    if (command == CMD_NONE) {
        fprintf(stderr, "Error : Invalid Command\n");
        return EXIT_BADOPTION;
    }
    if (!file && command != CMD_INSERT) file = "-";
    std::string path = !file || !file[0] ? "" : command == CMD_INSERT ? Absolute(file) : file;
    // The emulator reads at most LINE_MAX_CHARS characters of a request: a path
    // that would not fit is refused here rather than arriving cut short.
    if (path.empty() || path.size() > LINE_MAX_CHARS - 5 || path.find('\n') != std::string::npos) {
        fprintf(stderr, "Error : Invalid file path\n");
        return EXIT_BADOPTION;
    }
    std::string line = std::to_string(drive) + " " + std::to_string(command) + " " + path + "\n";
    std::string reply;
    if (!SendCommand(line.c_str(), &reply)) return EXIT_NOSERVER;
    return ShowResult(reply);
}
