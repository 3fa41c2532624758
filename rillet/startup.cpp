#include "rillet/startup.h"

#include <filesystem>

#include "platform/folderlock.h"
#include "platform/profile.h"
#include "rillet/settings.h"

CRecorderLocks::CRecorderLocks() = default;
CRecorderLocks::~CRecorderLocks() = default;

void CRecorderLocks::Release() {
    locks_.clear();
}

bool CRecorderLocks::Lock(const std::string& file, const std::string& what, std::string* message) {
    auto lock = std::make_unique<PlatFolderLock>();
    std::string holder, error;
    if (lock->Acquire(file, &holder, &error)) {
        locks_.push_back(std::move(lock));
        return true;
    }
    *message = holder.empty() ? "cannot lock " + what + " (" + file + "): " + error
                              : "another recorder (" + CRilletSettings::Printable(holder) +
                                    ") records " + what + " (lock " + file + ")";
    return false;
}

int CRecorderLocks::Check(const CRilletSettings& settings, std::string* message) {
    switch (settings.CheckStart(message)) {
        case CStartProblem::NoDataDirectory:
            return kExitNoDataDirectory;
        case CStartProblem::NothingToRecord:
            return kExitNothingToRecord;
        case CStartProblem::None:
            break;
    }
    // Two recorders in one folder would both rewrite its resume times; two on one station would
    // write the same files and trim the same loop.
    std::filesystem::path settingsFile(CRilletSettings::IniPath(settings.RilletIni()));
    std::filesystem::path folder = settingsFile.parent_path();
    if (folder.empty()) folder = ".";
    bool locked =
        Lock((folder / kRecorderLockFile).string(), "in folder " + folder.string(), message);
    for (const auto& group : settings.Groups()) {
        if (!locked) break;
        if (group.channels.empty()) continue;
        std::string stationFolder = settings.DataPath(group.station);
        std::error_code ec;
        std::filesystem::create_directory(stationFolder, ec);
        std::string file = (std::filesystem::path(stationFolder) / kRecorderLockFile).string();
        // Two groups of one station share its loop: the second finds the lock already held here.
        bool held = false;
        for (const auto& lock : locks_) held = held || lock->File() == file;
        if (!held) locked = Lock(file, "station " + group.station, message);
    }
    if (!locked) {
        locks_.clear();
        return kExitLocked;
    }
    return 0;
}
