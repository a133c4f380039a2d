#pragma once
// Runs tarvel-updater as a child process in a private folder of the test: its own
// XDG_RUNTIME_DIR, XDG_STATE_HOME, XDG_DATA_HOME and TMPDIR, standard input and output on
// pipes, and JSON events read one line at a time.

#include <json/value.h>

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class ProgramRun {
public:
    // home: the test's own folder; it gets run/, state/, data/ and tmp/ below it. env: more
    // NAME=VALUE entries (TARVEL_VBUS); program: another program than tarvel-updater.
    ProgramRun(const std::string& home, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {}, const std::string& program = TARVEL_UPDATER_PROGRAM);
    ~ProgramRun(); // kills the child when it still runs

    void write(const std::string& text);
    void closeInput();
    void signal(int sig);

    // The next line of standard output; false at its end or after timeout.
    bool readLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // The next JSON event; false at the end of the output or after timeout.
    bool nextEvent(Json::Value& event, std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // Reads the rest of the output and waits for the end; the exit status (128 + signal when
    // killed by one), or -1 after timeout (the child is then killed).
    int finish(std::chrono::milliseconds timeout = std::chrono::seconds(120));

    const std::string& output() const { return m_output; } // everything read so far
    std::string errorOutput() const; // standard error (after finish)
    pid_t pid() const { return m_pid; }

private:
    bool fill(std::chrono::steady_clock::time_point deadline);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_errPath;
    std::string m_buffer;
    std::string m_output;
    bool m_eof = false;
    int m_status = -1;
};

// Runs to the end with the given standard input (closed after it); status, stdout, stderr.
struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};
ProgramResult runProgram(
    const std::string& home, const std::vector<std::string>& args, const std::string& input = "");

// Every JSON event of an output, in order (each line must parse).
std::vector<Json::Value> jsonEvents(const std::string& output);

// One request on a bus at a Unix socket (a simulator's control op); its response line, empty
// when there was none.
std::string busRequest(const std::string& socketPath, const std::string& request);

// Waits until a bus at a Unix socket takes a connection; false when it did not within limit.
bool waitForBus(const std::string& socketPath, std::chrono::seconds limit = std::chrono::seconds(30));

// tarvel-devsim in a process of its own, serving the bus at home/bus.sock with its drive at
// home/drive, once it takes connections.
std::unique_ptr<ProgramRun> startDevice(const std::string& home, const std::vector<std::string>& options);
