// How a run of the updater ended: the process's exit code, one per outcome,
// for administrators and the scripts that start the updater. Documented in
// the README; the end-to-end scenarios assert them.
#pragma once

enum class UpdateExit : int {
    UpToDate = 0,        // the manifest offers nothing newer
    Updated = 1,         // the new version is installed and recorded
    Declined = 2,        // the user closed the offer
    DownloadFailed = 3,  // the download failed, or was cancelled before the product was stopped
    PackageRefused = 4,  // the package is damaged, unsigned or forged
    FileInUse = 5,       // a file stayed in use; nothing was changed
    InstallFailed = 6,   // the installation could not be written; nothing was changed
    NoManifest = 7,      // no usable manifest: unreachable, too large, unreadable, unsigned, stale
    Disabled = 8,        // updates are disabled by policy
    CommandLine = 9,     // not started with the product's executable name
    RecoveryFailed = 10, // an interrupted installation could not be completed or rolled back
    AlreadyRunning = 11, // another updater is running
    CannotStart = 12,    // the process could not be prepared (COM, its own path)
};

// The word the log writes for an outcome.
const char* UpdateExitName(UpdateExit code);
