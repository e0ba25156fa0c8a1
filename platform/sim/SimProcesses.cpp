#include "platform/sim/SimProcesses.hpp"

#include <unistd.h>

#include <charconv>
#include <map>
#include <utility>

#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

namespace {
// 2026-12-05T10:00:00Z: the virtual laptop booted two hours before its clock starts.
constexpr int64_t kDefaultBootTime = 1'796'464'800;
}  // namespace

SimProcesses::SimProcesses() : bootTime_(kDefaultBootTime) {
    alive_.insert(::getpid());
}

int SimProcesses::currentPid() const {
    return static_cast<int>(::getpid());
}

bool SimProcesses::isAlive(int pid) const {
    std::lock_guard lock(mutex_);
    return pid > 0 && alive_.count(pid) != 0;
}

int64_t SimProcesses::bootTime() const {
    std::lock_guard lock(mutex_);
    return bootTime_;
}

os::Processes::SpawnResult SimProcesses::spawnAndWait(const std::string& program,
                                                      const std::vector<std::string>& arguments) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> call{program};
    call.insert(call.end(), arguments.begin(), arguments.end());
    spawned_.push_back(std::move(call));
    if (script_.empty()) {
        return SpawnResult{true, 0, {}};
    }
    SpawnResult result = script_.front();
    script_.erase(script_.begin());
    return result;
}

void SimProcesses::setBootTime(int64_t seconds) {
    std::lock_guard lock(mutex_);
    bootTime_ = seconds;
}

void SimProcesses::setAlive(int pid, bool alive) {
    std::lock_guard lock(mutex_);
    if (alive) {
        alive_.insert(pid);
    } else {
        alive_.erase(pid);
    }
}

class SimProcesses::Tracker final : public os::Processes::Tracker {
  public:
    explicit Tracker(const SimProcesses& table) : table_(table) {}

    Changes update() override {
        std::lock_guard lock(table_.mutex_);
        ++table_.scans_;
        Changes changes;
        std::map<int, uint64_t> now;
        for (const auto& process : table_.table_) {
            now[process.pid] = process.startTime;
        }
        for (auto it = followed_.begin(); it != followed_.end();) {
            const auto running = now.find(it->first);
            if (running != now.end() && running->second == it->second) {
                ++it;
                continue;
            }
            changes.ended.push_back(it->first);
            it = followed_.erase(it);
        }
        for (const auto& process : table_.table_) {
            const auto it = known_.find(process.pid);
            if (it == known_.end() || it->second != process.startTime) {
                changes.started.push_back(process);
            }
        }
        known_ = std::move(now);
        return changes;
    }

    void follow(int pid) override {
        if (const auto it = known_.find(pid); it != known_.end()) {
            followed_.insert(*it);
        }
    }

  private:
    const SimProcesses& table_;
    std::map<int, uint64_t> known_;     // pid to start time
    std::map<int, uint64_t> followed_;  // as known_
};

std::unique_ptr<os::Processes::Tracker> SimProcesses::trackUserProcesses() const {
    return std::make_unique<Tracker>(*this);
}

int SimProcesses::startProcess(const std::string& name, const std::string& commandLine) {
    std::lock_guard lock(mutex_);
    const int pid = nextPid_++;
    ProcessInfo process;
    process.pid = pid;
    process.name = name;
    process.commandLine = commandLine.empty() ? name : commandLine;
    process.shortName = name.substr(0, 15);
    process.startTime = nextStart_++;
    table_.push_back(std::move(process));
    alive_.insert(pid);
    return pid;
}

void SimProcesses::endProcess(int pid) {
    std::lock_guard lock(mutex_);
    std::erase_if(table_, [pid](const ProcessInfo& process) { return process.pid == pid; });
    alive_.erase(pid);
}

int SimProcesses::scanCount() const {
    std::lock_guard lock(mutex_);
    return scans_;
}

void SimProcesses::scriptSpawn(SpawnResult result) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(result));
}

std::vector<std::vector<std::string>> SimProcesses::spawned() const {
    std::lock_guard lock(mutex_);
    return spawned_;
}

void SimProcesses::registerKeys(SimKeys& keys) {
    keys.add("boottime", [this](std::string_view value) {
        int64_t seconds = 0;
        auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (ec != std::errc{} || ptr != value.data() + value.size() || seconds < 0) {
            return false;
        }
        setBootTime(seconds);
        return true;
    });
}

}  // namespace noctave::sim
