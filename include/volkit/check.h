// Volkit consistency check: examines an NTFS volume through the same device
// callbacks as the handle family and reports what is wrong with it. It only
// reads (the device's write callback is never called) and works on volumes
// that NtfsOpenVolume refuses.
#ifndef VOLKIT_CHECK_H
#define VOLKIT_CHECK_H

#include <cstdint>

#include "volkit/api.h"

namespace volkit::api {

// Damage may trip other implementations or lose data; a leak (clusters,
// records or index blocks marked in use that nothing reaches, a directory
// entry whose copy of a file's sizes lags behind the file) is harmless.
enum NtfsCheckKind : int { NtfsCheckDamage = 0, NtfsCheckLeak = 1 };

inline constexpr uint64_t NtfsCheckNoRecord = ~uint64_t{0};

struct NtfsCheckProblem {
    NtfsCheckKind kind = NtfsCheckDamage;
    // The rule broken, a short fixed name: "boot-sector", "mft", "mft-mirror",
    // "record", "attribute", "runlist", "attribute-list", "cluster-cross-linked",
    // "cluster-unmarked", "cluster-leaked", "record-unmarked", "record-leaked",
    // "record-orphaned", "index", "index-order", "index-balance", "index-bitmap",
    // "index-block-leaked", "index-entry", "index-entry-stale", "file-name" or
    // "link-count".
    const char* code = "";
    uint64_t record = NtfsCheckNoRecord;  // the MFT record concerned, if one is
    const char* message = "";             // UTF-8, one line
};

struct NtfsCheckSummary {
    uint64_t mftRecords = 0;
    uint64_t recordsInUse = 0;
    uint64_t directories = 0;  // indexes walked
    uint64_t indexEntries = 0;
    uint64_t clusters = 0;
    uint64_t clustersInUse = 0;  // owned by some attribute
    uint64_t damage = 0;         // problems found of each kind, also those
    uint64_t leaks = 0;          // beyond the 10,000 handed to the callback
    bool complete = false;       // false when damage stopped the check early
};

// Checks the volume behind the device. Calls `callback` (which may be null)
// once per problem, in the order found; the problem's strings are valid during
// the call only. Returns true when the check ran, whatever it found; false,
// with the reason as one Error line of the log callback, when the device
// failed or holds no NTFS volume.
VOLKIT_EXPORT bool NtfsCheckVolume(const NtfsIoDevice& device,
                                   void (*callback)(const NtfsCheckProblem& problem, void* context), void* context,
                                   NtfsCheckSummary& summary);

// Repairs what an interrupted session or a failed write can leave: bits of
// the cluster, MFT and index bitmaps that nothing owns are cleared and those
// of what is in use set; records in use that no directory lists go back into
// the directory their name gives (when it is reachable and the name is free
// there), else into `found.000` at the root; directory entries get the sizes
// their files have; $MFTMirr is rewritten from $MFT; the dirty flag is
// cleared last. `callback` (which may be null) hears of each problem found
// before the repair. Returns true when the volume is clean afterwards, with
// `after` its check; a clean volume is left byte for byte as it was. Returns
// false, with the reason as one Error line, when the volume holds a problem
// of any other kind (nothing is written then) or the device failed (what was
// written, in an order that keeps the volume usable, another repair finishes).
VOLKIT_EXPORT bool NtfsRepairVolume(const NtfsIoDevice& device,
                                    void (*callback)(const NtfsCheckProblem& problem, void* context), void* context,
                                    NtfsCheckSummary& after);

}  // namespace volkit::api

#endif
