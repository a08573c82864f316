// regress_replay — plays one regression scenario through the phone and
// prints the sentence stream its port produced, normalised so that a run
// is reproducible (scripts/regress.sh diffs it against SCENARIO.chk).
//
//   regress_replay --phone PATH --scenario FILE [--speed F] [--timeout-ms N]
//
// The scenario is an FM stack simulator scenario whose comment lines
// "# regress: STEP" say what the navigation program does, in order:
//   read N       record the next tune report and the N $RTTMC sentences
//                after it (every line in between is recorded too); a read
//                that follows another read goes on without waiting for a
//                report; "read 0" records the report alone (a station
//                without RDS)
//   send BODY    write "$BODY*HH\r\n" to the port (e.g. PSRF123,1,1: seek up)
// The port is opened first (the driver powers the radio on and tunes), so
// the first read begins at that tune's report. What arrives before a
// report that a read waits for — the previous station's groups up to the
// moment the command took effect, command acknowledgements — depends on
// timing and is not recorded. Without any step: "read 50".
//
// Exit status: 0 with the stream on standard output; 1 when the run failed
// (message on standard error); 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

constexpr size_t kMaxSteps = 64;
constexpr unsigned long kMaxReadGroups = 100000;
constexpr size_t kMaxCommandChars = 80;

struct Step {
    enum Kind { Read, Send } kind = Read;
    unsigned long groups = 0;
    std::string body;
};

bool ParseSteps(const std::string &path, std::vector<Step> &steps, std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    const std::string marker = "# regress:";
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.rfind(marker, 0) != 0)
            continue;
        std::istringstream words(line.substr(marker.size()));
        std::string verb, argument, more;
        words >> verb >> argument;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (words >> more || argument.empty()) {
            error = where + "a step is \"read N\" or \"send BODY\"";
            return false;
        }
        Step step;
        if (verb == "read") {
            char *end = nullptr;
            step.groups = std::strtoul(argument.c_str(), &end, 10);
            if (*end != '\0' || step.groups > kMaxReadGroups) {
                error = where + "read takes a number of groups from 0 to 100000";
                return false;
            }
        } else if (verb == "send") {
            step.kind = Step::Send;
            step.body = argument;
            if (step.body.size() > kMaxCommandChars ||
                step.body.find_first_of("$*\r\n") != std::string::npos) {
                error = where + "send takes a sentence body without '$' or '*'";
                return false;
            }
        } else {
            error = where + "unknown step \"" + verb + "\"";
            return false;
        }
        if (steps.size() == kMaxSteps) {
            error = where + "too many steps";
            return false;
        }
        steps.push_back(step);
    }
    if (steps.empty())
        steps.push_back(Step{Step::Read, 50, {}});
    return true;
}

int Fail(const std::string &message, const std::string &log) {
    std::fprintf(stderr, "regress_replay: %s\n", message.c_str());
    if (!log.empty())
        std::fprintf(stderr, "--- phone output ---\n%s", log.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    std::string phonePath, scenario, speed = "5";
    long timeoutMs = 60000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--phone")
            phonePath = argv[i + 1];
        else if (option == "--scenario")
            scenario = argv[i + 1];
        else if (option == "--speed")
            speed = argv[i + 1];
        else if (option == "--timeout-ms")
            timeoutMs = std::strtol(argv[i + 1], nullptr, 10);
        else
            phonePath.clear();
    }
    if (argc % 2 == 0 || phonePath.empty() || scenario.empty() || timeoutMs <= 0) {
        std::fprintf(stderr, "usage: regress_replay --phone PATH --scenario FILE [--speed F] "
                             "[--timeout-ms N]\n");
        return 2;
    }
    std::vector<Step> steps;
    std::string error;
    if (!ParseSteps(scenario, steps, error)) {
        std::fprintf(stderr, "regress_replay: %s\n", error.c_str());
        return 2;
    }

    e2e::TempFolder temp;
    if (temp.Path().empty())
        return Fail("no temporary folder", "");
    const std::string root = temp.Path() + "/root";
    const std::string logPath = temp.Path() + "/phone.out";
    e2e::Phone phone;
    if (const int rc = phone.Start(
            phonePath, {.root = root, .logPath = logPath, .scenario = scenario, .speed = speed});
        rc != 0)
        return Fail("cannot start " + phonePath + ": " + std::strerror(rc), "");
    auto log = [&] { return e2e::ReadWholeFile(logPath); };

    // The port, once the phone serves it.
    const std::string link = root + "/dev/COM9";
    const auto deadline = e2e::Clock::now() + std::chrono::milliseconds(timeoutMs);
    int port = -1;
    while (port < 0) {
        if (e2e::Exists(link))
            port = e2e::OpenRaw(link);
        if (port >= 0)
            break;
        if (!phone.Running())
            return Fail("the phone ended before serving COM9", log());
        if (e2e::Clock::now() >= deadline)
            return Fail("COM9 was not served in time", log());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    e2e::LineReader reader(port);
    std::vector<std::string> lines;
    size_t next = 0; // first line not yet looked at
    std::vector<std::string> record;
    // Answers the next line, or "" with `failed` set at the deadline.
    bool failed = false;
    auto nextLine = [&]() -> std::string {
        while (next == lines.size()) {
            if (e2e::Clock::now() >= deadline || !reader.Read(lines, 50)) {
                failed = true;
                return {};
            }
        }
        return lines[next++];
    };

    bool awaitReport = true; // the open tunes: its report comes first
    for (const Step &step : steps) {
        if (step.kind == Step::Send) {
            const std::string command = e2e::Command(step.body);
            if (write(port, command.data(), command.size()) != static_cast<ssize_t>(command.size()))
                return Fail("cannot write to COM9", log());
            next = lines.size(); // what came before the command is not its answer
            awaitReport = true;
            continue;
        }
        if (awaitReport) {
            for (;;) {
                const std::string line = nextLine();
                if (failed)
                    return Fail("no tune report in time", log());
                if (line.rfind("$RTRDS,", 0) == 0) {
                    record.push_back(line);
                    break;
                }
            }
            awaitReport = false;
        }
        for (unsigned long groups = 0; groups < step.groups;) {
            const std::string line = nextLine();
            if (failed)
                return Fail("only " + std::to_string(groups) + " of " +
                                std::to_string(step.groups) + " groups arrived in time",
                            log());
            record.push_back(line);
            if (line.rfind("$RTTMC,", 0) == 0)
                ++groups;
        }
    }
    close(port);
    const int status = phone.PowerOff(30000);
    for (const std::string &line : record)
        std::printf("%s\n", line.c_str());
    if (status != 0)
        return Fail("the phone's power-off ended with status " + std::to_string(status), log());
    return 0;
}
