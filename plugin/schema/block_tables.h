#pragma once
// What became of one block's tables: found while they are made ready, read
// while the rows are written, and gone with the block. Each reading's table
// is derived once, here, so the rows go to the very table that was made
// ready for them.
#include <map>
#include <set>
#include <string>
#include <vector>

// Why a table of the block could not be made ready; a permanent failure
// refuses its readings, a passing one makes them wait.
struct DdlFailure {
    std::string why = "its table could not be made ready";
    bool permanent = false;
};

struct BlockTables {
    // Each reading's table as stored, in block order; empty for a reading
    // with no name to make one from.
    std::vector<std::string> keys;
    // Tables that take rows. A table is ready or failed, never both.
    std::set<std::string> ready;
    std::map<std::string, DdlFailure> failed;
    // Tables looked up for this block that the database does not have.
    std::set<std::string> absent;

    void fail(const std::string& key, const DdlFailure& why) {
        ready.erase(key);
        failed[key] = why;
    }
    // Whether the reading at `position` waits: its table failed for reasons
    // that may pass, or was never looked at.
    bool waitsAt(size_t position) const {
        if (position >= keys.size()) return true;
        auto failure = failed.find(keys[position]);
        return failure != failed.end() && !failure->second.permanent;
    }
    // The first of `readings` that waits, else `readings`.
    size_t firstWaiting(size_t readings) const {
        for (size_t i = 0; i < readings; ++i)
            if (waitsAt(i)) return i;
        return readings;
    }
};
