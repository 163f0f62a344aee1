// The simulated board: a register-level model of the SoC blocks the hardware
// layer uses (GPIO, pads, SPI0, PWM and its clock, system and ARM timers, the
// firmware mailbox), the interface board's wiring, and the devices on the
// floppy bus (drives, a host controller) and the front panel.
//
// Time is virtual and deterministic: it advances by a fixed tick with every
// register access and by the nominal slice of each idle yield. Devices are
// advanced lazily to the current time at each access, so a busy-wait on the
// system timer, SPI shifting, rotation and the scripts all follow one clock.
// Times are kept in picoseconds.
//
// A hardware program calls SimInstallFromEnv() first thing: when ZELMO_SIM
// names a simulation file (format in sim/README.md) the board is built and
// installed as the platform of GPIOCTL; otherwise nothing here runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gpioctl.h"

// Bus lines by GPIO number, as wired through the interface board.
enum {
    LINE_MOT = 0, LINE_STP = 1, LINE_FD2 = 5, LINE_FD4 = 6, LINE_WTG = 7, LINE_DATA_IN = 9, LINE_DATA_OUT = 10,
    LINE_DIR = 12, LINE_EJC = 13, LINE_OS0 = 16, LINE_OS1 = 20, LINE_OPT = 19, LINE_DS0 = 21, LINE_RDY = 22,
    LINE_SID = 23, LINE_WTP = 24, LINE_TRZ = 25, LINE_DS1 = 26, LINE_IDX = 27,
};

const int64_t SIM_PS_PER_US = 1000000;
// The farthest a simulated head can step (last_cylinder). The medium holds
// the 84 cylinders of an image; cylinders past them read blank.
const int SIM_MAX_CYLINDER = 89;

// One simulated device on the bus. Lines are GPIO numbers; "asserted" means
// low on the floppy bus whatever the board does to the pin's level.
class SimDevice {
  public:
    virtual ~SimDevice() {}
    // Lines this device asserts at time t (bit n = GPIO n).
    virtual uint32_t Asserted(int64_t t) = 0;
    // The data line toward the Pi (read data of a drive, write data of a host).
    virtual int DataAsserted(int64_t) { return 0; }
    // A line the Pi drives changed at t.
    virtual void LineChanged(int, int, int64_t) {}
    // The Pi's data line carried count bits (1 = asserted), the first from t,
    // one every period, first bit in bit count - 1 of bits.
    virtual void DataOut(int64_t, int64_t, uint32_t, int) {}
    // I2C bytes written to this device's address.
    virtual void I2CWrite(int, const uint8_t *, int, int64_t) {}
    // End of the run: save, write logs.
    virtual void Finish(int64_t) {}
    // The next time after t at which this device changes a line on its own
    // (a scripted edge): an idle yield stops there so that no edge, however
    // narrow, passes unseen. INT64_MAX when none is known.
    virtual int64_t NextChange(int64_t) { return INT64_MAX; }
};

// ---- Settings ---------------------------------------------------------------

struct SimDriveConfig {
    std::string image;            // medium: ZEL, or any format the library imports
    std::string save;             // medium saved here as ZEL at exit
    int select = 0;               // answers DS0 (0) or DS1 (1)
    double rpm = 300;
    double speed_error = 0;       // percent, + = faster
    int index_us = 2000;          // index pulse width
    int last_cylinder = 81;       // the head stops here
    int write_protect = 0;
    int disk = 1;                 // a medium is inserted
    int spinup_ms = 0;            // 0: the disk turns from time 0; else it stands until the motor
                                  // starts, speeds up evenly for this long, then READY
    int settle_ms = 15;           // after a step: reads give noise, a write begun records noise
    int trk00 = 0;                // TRK00 sensor: 0 works, 1 never asserted, 2 always asserted
    int pulse_ns = 400;           // read-data pulse width
    int jitter_ns = 0;            // each pulse moves by up to +-jitter
    int noise_spikes = 0;         // extra random pulses per revolution
    int flux_free_us = 0;         // longer stretches without flux read as random pulses (0: off)
    // A stretch of a track that reads without flux in some revolutions, counted
    // from 1 at the first index after the head came to the track.
    struct Dropout {
        int cylinder, head;
        int from_us, to_us;
        std::vector<int> revolutions;
    };
    std::vector<Dropout> dropouts;
};

struct SimConfig {
    int board = 2;                // 1 TypeA, 2 TypeB, 3 TypeC
    int soc = 3;                  // 1 BCM2835, 2 BCM2836, 3 BCM2837, 4 BCM2711
    int core_khz = 400000;        // answered by the mailbox, drives SCLK
    int64_t core_change_at_us = -1;
    int core_change_khz = 0;
    int64_t tick_ps = 100000;     // virtual time per register access
    int yield_us = 50;            // least virtual time an idle yield takes (usleep(0) on Linux: ~50 us)
    uint64_t clock_start_us = 1000000;
    int devmem = 1;               // 0: /dev/mem refused, as for a user without root
    int vcio = 1;
    int i2c = 1;
    std::string governor = "ondemand\n";   // empty: no governor file
    std::string rt_runtime = "950000\n";   // empty: no throttling file
    int spi_even_divider = 1;     // the divider's lowest bit is ignored
    int mosi_idle_low = 0;        // between bytes MOSI goes low instead of holding the last bit
    std::string dir;              // private folder for platform files; empty: a fresh one
    std::string report;
    SimDriveConfig drive[2];
    int drives = 0;
    std::string host_script, host_log;
    int host_write_jitter_ns = 0;  // each write pulse of the host moves by up to this much either way
    int control_port = 6869;      // drivesim's control port (and simctl's) under this board
    std::string panel_script, panel_picture;
};

// Calls fn with each line of a text file (without comments after '#') until
// fn returns 0; 0 when the file cannot be read or fn refused a line.
int SimForEachLine(const char *path, const std::function<int(const std::string &)> &fn);

// Reads "<hex>" (two digits a byte) into bytes; 0 for a malformed string.
int SimParseHex(const std::string &hex, std::vector<uint8_t> *out);

// Reads a simulation file; relative paths inside it are taken from its folder.
int SimParseFile(const char *path, SimConfig *cfg, std::string *error);
// One "key = value" setting; 0 and a message for an unknown key or bad value.
int SimApplySetting(SimConfig *cfg, const std::string &key, const std::string &value, std::string *error);

// ---- Floppy drive (controller role) ------------------------------------------

class SimDrive : public SimDevice {
  public:
    explicit SimDrive(const SimDriveConfig &cfg);
    int LoadImage(const char *path);
    int SaveImage(const char *path) const;
    // Sets one track from encode cells at rate kHz (a transition at each 1).
    void SetTrackCells(int cylinder, int head, const uint8_t *cells, int count, int rate);
    const std::vector<int64_t> &Flux(int cylinder, int head) const { return flux[cylinder][head]; }
    int64_t RevolutionPs() const { return rev_ps; }  // nominal revolution
    int Cylinder() const { return cyl; }

    uint32_t Asserted(int64_t t) override;
    int DataAsserted(int64_t t) override;
    void LineChanged(int line, int asserted, int64_t t) override;
    void DataOut(int64_t t, int64_t period, uint32_t bits, int count) override;
    void Finish(int64_t t) override;

    SimDriveConfig cfg;
    int writes = 0;  // write-gate stretches recorded into the medium

  private:
    int64_t RotationPs() const;                  // real revolution with the speed error
    int64_t Position(int64_t t) const;           // nominal position within the revolution
    int64_t Unwrapped(int64_t t) const;          // nominal position counted from time 0
    bool Settling(int64_t t) const;              // the head is still settling after a step
    bool DroppedOut(int64_t t) const;            // a dropout covers the head at t
    int Pulse(int64_t t) const;
    void CommitWrite(int64_t t);
    int WrittenCellRate() const;                 // kcells/s of what was written, 0 when not told
    int64_t CellPs(int cellrate) const;          // one recorded cell as it passes this drive's head

    int64_t rev_ps;
    int rate = 500;                              // cells per ms of the medium
    double medium_rpm = 300;                     // speed the medium was recorded at
    int type = 1;                                // ZEL type for saving
    std::vector<int64_t> flux[84][2];           // transition positions, nominal ps
    int cyl = 0;
    uint32_t pi = 0;                             // lines the Pi asserts
    int64_t motor_on = -1;
    int64_t spun = 0;                            // with spin-up: position at the last motor start or stop
    int64_t stepped = INT64_MIN / 2;             // last step pulse
    int64_t arrived = 0;                         // the head came to this track (step or side change)
    bool writing = false;
    bool write_noise = false;                    // the gate opened while the head settled
    int written_rate[84][2] = {};                // kcells/s a track was last written here at; 0 as loaded
    bool rewritten = false;                      // a track was written here
    int64_t write_start = 0;
    int write_last = 0;
    std::vector<int64_t> written;
};

// ---- Host controller (emulator role) -------------------------------------------

struct SimHostEvent {
    int64_t t;  // ps
    int line;   // GPIO, or -1 for an end of capture marker
    int asserted;
};

class SimHost : public SimDevice {
  public:
    SimHost() {}
    int LoadScript(const char *path, std::string *error);
    // One script line "<ms> <command> [args]"; see sim/README.md.
    int AddScriptLine(const std::string &line, std::string *error);
    // Write data the host sends while its gate is open: cells at rate kHz,
    // repeated, from time t on (until the next feed's time).
    void FeedWriteData(int64_t t, const uint8_t *cells, int count, int rate);

    uint32_t Asserted(int64_t t) override;
    int DataAsserted(int64_t t) override;
    void LineChanged(int line, int asserted, int64_t t) override;
    void DataOut(int64_t t, int64_t period, uint32_t bits, int count) override;
    void Finish(int64_t t) override;
    int64_t NextChange(int64_t t) override;

    std::string log_path;
    int64_t write_jitter_ps = 0;          // write pulses move by up to this much either way
    std::vector<int64_t> read_pulses;     // assertion edges of the read-data line
    std::vector<SimHostEvent> seen;       // lines the Pi changed, with times

  private:
    // One command of the script at time t (ps).
    int AddCommand(int64_t t, const std::string &command, std::string *error);
    struct Step { int64_t t; uint32_t set, clear; };
    std::vector<Step> script;             // kept in time order
    struct Trigger {
        int64_t armed;                    // from this time on
        int line, asserted;               // the Pi sets line to this state
        int64_t delay;                    // then command runs this much later
        std::string command;
    };
    std::vector<Trigger> triggers;
    size_t next = 0;
    uint32_t lines = 0;
    void Run(int64_t t);
    struct Feed {
        int64_t start, cell;              // ps
        std::vector<uint8_t> cells;
        int count;
    };
    std::vector<Feed> feeds;              // kept in time order
    int data_last = 0;
};

// ---- Front panel: SSD1306 on I2C and three buttons -----------------------------

class SimPanel : public SimDevice {
  public:
    enum { WIDTH = 128, HEIGHT = 32 };
    SimPanel() {}
    int LoadScript(const char *path, std::string *error);
    // "<ms> press <button> [<held ms>]", or
    // "+<ms> press <button> [<held ms>] [when <page> <column> <hex>]": see sim/README.md.
    int AddScriptLine(const std::string &line, std::string *error);
    int Pixel(int x, int y) const { return (ram[y / 8][x] >> (y % 8)) & 1; }
    int DisplayOn() const { return on; }
    // Writes the picture in the display RAM (what it shows, or showed last
    // before it was switched off) as PGM (".pgm") or PNG.
    int SavePicture(const char *path) const;

    uint32_t Asserted(int64_t t) override;
    void I2CWrite(int addr, const uint8_t *data, int len, int64_t t) override;
    void Finish(int64_t t) override;

    std::string picture_path;
    int transfers = 0;

  private:
    void Command(uint8_t b);
    void Data(uint8_t b);
    struct Press { int64_t from, to; int button; };
    std::vector<Press> presses;
    // Presses that wait for the display: each is timed from the first update
    // after the one before has ended (at which the display RAM from column of
    // page holds want, when given).
    struct Pending { int64_t after, held; int button, page, column; std::vector<uint8_t> want; };
    std::vector<Pending> waiting;
    size_t waiting_next = 0;
    int64_t last_end = 0;  // end of the last press placed
    void Schedule(int64_t t);
    uint8_t ram[8][WIDTH] = {};
    int on = 0, inverted = 0, addressing = 2;  // 0 horizontal, 1 vertical, 2 page
    int col = 0, page = 0, col_lo = 0, col_hi = 127, page_lo = 0, page_hi = 7;
    uint8_t pending[8] = {};
    int pending_len = 0, pending_need = 0;
};

// ---- The SoC and the board --------------------------------------------------------

class SimBoard : public HwPlatform {
  public:
    explicit SimBoard(const SimConfig &cfg);
    ~SimBoard() override;
    // Creates the private folder and its platform files; 0 on failure.
    int Setup(std::string *error);
    void Attach(SimDevice *device);   // not owned
    // Ends the run: devices finish, the report is written.
    void Finish();

    // HwPlatform
    int MapWindow(int fd, uint64_t base, size_t len, volatile uint32_t **window) override;
    uint32_t Read(uint32_t offset) override;
    void Write(uint32_t offset, uint32_t value) override;
    int OpenFile(const char *path, int flags) override;
    int Exists(const char *path) override;
    long WriteFile(int fd, const void *buf, size_t len) override;
    int CloseFile(int fd) override;
    int Ioctl(int fd, unsigned long request, void *arg) override;
    void Yield(int us) override;
    int SetScheduling(int policy, int priority) override;
    int PinCpu(int cpu) override;

    // Inspection for tests and the report.
    int64_t Now();
    int Function(int pin);            // GPFSEL code
    int Latch(int pin);
    int Pull(int pin);                // PULL_NONE, PULL_DOWN, PULL_UP
    uint32_t Level();                 // what GPLEV0 reads now
    uint32_t PiAsserted();            // lines the Pi asserts now
    uint32_t Pads();
    uint64_t WriteCount(uint32_t offset);
    uint64_t TotalWrites();
    int SpiMinFill() const { return spi.min_fill; }
    int SpiUnderruns() const { return spi.underruns; }
    int64_t SpiBytes() const { return spi.bytes; }
    int BoardLatch() const { return latch_disks; }   // bit 0 drive 0 holds a disk, bit 1 drive 1
    int PwmSamples() const { return (int)pwm.written; }
    int RealtimeRequests() const { return rt_requests; }
    const std::string &Dir() const { return dir; }
    std::string PlatformFile(const char *name) const { return dir + "/" + name; }
    const SimConfig &Config() const { return cfg; }

  private:
    struct Spi {
        uint32_t cs = 0, clk = 0, dlen = 0;
        uint8_t tx[64], rx[64];
        int txhead = 0, txcount = 0, rxhead = 0, rxcount = 0;
        bool shifting = false;
        uint8_t cur = 0;
        int64_t start = 0, end = 0, bitps = 0;
        int clocks = 8;
        int lastbit = 0;
        bool starved = false;
        int min_fill = -1, underruns = 0;
        int64_t bytes = 0, lost = 0, stalls = 0;
    };
    struct Pwm {
        uint32_t ctl = 0, rng1 = 0, rng2 = 0, cmctl = 0, cmdiv = 0;
        int fifo = 0;
        int64_t drained_at = 0;
        uint64_t written = 0;
    };
    enum FileKind { FILE_PLAIN, FILE_SETTING, FILE_MEM, FILE_VCIO, FILE_I2C };

    void Tick();                      // one access: time moves, devices catch up
    // The thread that made the board drives the clock; accesses from other
    // threads see the time without moving it, so a helper thread busy-polling
    // a register cannot run virtual time away from a descheduled main loop.
    std::thread::id clock_thread = std::this_thread::get_id();
    void Advance(int64_t t);
    void SpiStartByte(int64_t t);
    void SpiFinishByte();
    void SpiMaybeStart(int64_t t);
    int MosiLevel(int64_t t) const;
    int DataPinLevel(int64_t t);      // GPIO 9's level from the devices' data line
    void PwmDrain(int64_t t);
    int CoreKHz(int64_t t) const;
    uint32_t ReadLocked(uint32_t offset);
    void WriteLocked(uint32_t offset, uint32_t value);
    void GpioChanged();   // after a function or latch change: masks, line changes
    void PullsChanged();
    uint32_t ComputeLevel();
    std::string MapPath(const char *path, FileKind *kind) const;
    void WriteReport();

    SimConfig cfg;
    std::mutex lock;
    int64_t now = 0;
    std::string dir;
    bool own_dir = false;
    bool finished = false;
    std::vector<SimDevice *> devices;
    std::map<int, FileKind> files;
    int i2c_addr = -1;
    int rt_requests = 0;

    uint32_t fsel[6] = {};
    uint32_t latch = 0;
    uint8_t pull[32] = {};
    uint32_t pud = 0, pupdn[4] = {};
    uint32_t pads = 0x1B;             // hysteresis, 8 mA, as the firmware leaves them
    uint32_t armctrl = 0;
    uint32_t pi_mask = 0;             // lines the Pi asserts
    uint32_t out_mask = 0, in_mask = 0, pulldown_mask = 0;
    int64_t pin19_low_since = -1;
    int latch_disks = 0;
    Spi spi;
    Pwm pwm;
    std::map<uint32_t, uint64_t> write_counts;
};

// ---- Installation --------------------------------------------------------------

// 1 when ZELMO_SIM named a simulation file and the board is installed, 0 when
// ZELMO_SIM is not set, -1 when the file or the board could not be set up
// (SimError() says why).
int SimInstallFromEnv();
const char *SimError();
// Builds the board and its devices from cfg and installs it (replacing one
// installed before). Returns the board or null.
SimBoard *SimInstall(const SimConfig &cfg, std::string *error);
SimBoard *SimCurrent();
SimDrive *SimCurrentDrive(int n);
SimHost *SimCurrentHost();
SimPanel *SimCurrentPanel();
// Finishes the installed board (media saved, report written) and removes it.
void SimShutdown();
// Lets virtual time pass (the idle yield of a loop).
void SimIdle(int us);
