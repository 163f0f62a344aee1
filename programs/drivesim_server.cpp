// The control server: one request line per TCP connection on the loopback
// control port, handled strictly one after another on this thread, which also
// runs the front-panel menu when the button asks for it (it is idle most of
// the time).
//
//   "stop..."   (any case)  stop drivesim; answered once every image has been
//                           saved, like a drive command
//   "list..."   (any case)  the drive table
//   "D C FILE"              drive D, command C (1 insert, 2 eject, 3 protect);
//                           answered once the command has completed: any
//                           "Error : " and "Warning : " lines, then
//                           "Result             : Success" when it did what
//                           was asked
//
// A request counts only when its newline arrives within REQUEST_MAX bytes;
// anything else (a longer line, a connection closed or silent before the
// newline) is dropped without action. While the menu runs, drive commands
// are answered at once with "busy, try again".
#include "drivesim.h"

#include <cerrno>
#include <cstring>
#include <strings.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

// Reads one request line into buf (without its newline). 0 when none came
// within seconds.
static int ReadRequest(int fd, char *buf, int size, int seconds) {
    timeval tv = {seconds, 0};  // a client that never finishes its line does not hold the server
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int len = 0;
    while (len < size) {
        ssize_t n = recv(fd, buf + len, (size_t)(size - len), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        char *nl = (char *)memchr(buf + len, '\n', (size_t)n);
        if (nl) {
            *nl = 0;
            return 1;
        }
        len += (int)n;
    }
    return 0;
}

static void SendAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += (size_t)n;
    }
}

static const char kSuccess[] = "Result             : Success\n";

// The connection of a stop request, answered by AnswerStop at the end.
static std::atomic<int> stopclient{-1};

void AnswerStop(int ok, const std::string &messages) {
    int fd = stopclient.exchange(-1);
    if (fd < 0) return;
    SendAll(fd, ok ? messages + kSuccess : messages);
    close(fd);
}

// Handles one connection; 0 when it asked the emulator to stop (the
// connection then stays open for AnswerStop). While busy (the menu runs)
// drive commands are refused at once.
static int Serve(int fd, bool busy) {
    static char line[REQUEST_MAX + 1];
    if (!ReadRequest(fd, line, REQUEST_MAX, busy ? 2 : 10)) return 1;
    if (strncasecmp(line, "stop", 4) == 0) {
        int old = stopclient.exchange(fd);
        if (old >= 0) close(old);
        return 0;
    }
    if (strncasecmp(line, "list", 4) == 0) {
        SendAll(fd, DeviceTable());
        return 1;
    }
    if (busy) {
        SendAll(fd, "Error : The front panel menu is in use, try again later\n");
        return 1;
    }
    tell_t t;
    if (strlen(line) < 3) Tell(&t, "Error : Invalid request");
    else if (ProcessCmd((unsigned)(line[0] - '0'), line[2] - '0', strlen(line) > 4 ? line + 4 : "", &t))
        t.reply += kSuccess;
    SendAll(fd, t.reply);
    return 1;
}

// Accepts one waiting connection (if any) and serves it; 0 when it asked the
// emulator to stop, -1 when accepting failed for good.
static int ServeOne(int timeout_us, bool busy) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(monsocket, &fds);
    timeval tv = {0, timeout_us};
    int r = select(monsocket + 1, &fds, nullptr, nullptr, &tv);
    if (r <= 0) return r == 0 || errno == EINTR ? 2 : 1;
    int fd = accept(monsocket, nullptr, nullptr);
    if (fd < 0) {
        // A client gone before it was accepted, or a signal: serve on.
        return errno == EINTR || errno == ECONNABORTED || errno == EAGAIN ? 1 : -1;
    }
    int go = Serve(fd, busy);
    if (go) close(fd);
    else status = ST_STOP;
    return go;
}

void AnswerWhileBusy() {
    if (monsocket >= 0) ServeOne(0, true);
}

void *MonThread(void *) {
    FixCpu(0);
    SetScheduler(EXEC_IDLE);
    WaitForStart();
    if (listen(monsocket, 1) != 0) return nullptr;

    while (status != ST_STOP) {
        if (ServeOne(100000, false) <= 0) return nullptr;
        if (menu_state == MENU_REQUEST) {
            if (OledPresent()) {
                MenuSelectOperation();
                WriteEventQue(EV_UPDATE);
                SleepMs(100);
            } else {
                menu_state = MENU_IDLE;
            }
        }
    }
    return nullptr;
}
