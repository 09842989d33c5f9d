#pragma once
// The run itself: lines read and parsed into blocks of readings, each block
// handed to plugin_send on a thread of its own while the next is parsed.
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugin_host.h"
#include "reading.h"

namespace northrun {

struct Counts {
    uint64_t read = 0;
    uint64_t sent = 0;
    uint64_t rejected = 0;
    uint64_t blocks = 0;
    std::set<std::string> tables;
};

// count / seconds, rounded.
uint64_t ratePerSecond(uint64_t count, double seconds);

class Runner {
public:
    Runner(const pluginhost::PluginHost& plugin, PLUGIN_HANDLE handle, size_t blockSize)
        : m_plugin(plugin), m_handle(handle), m_blockSize(blockSize) {}

    // Reads fd to its end or to a stop signal, sending every reading read.
    // Returns false when the input could not be read to its end.
    bool run(int fd);

    const Counts& counts() const { return m_counts; }
    double seconds() const { return m_seconds; }

private:
    using Block = std::vector<std::unique_ptr<Reading>>;

    void sendBlock();
    void finishSending();
    uint32_t deliver(Block& block, uint64_t firstLine, uint64_t lastLine);
    void tick(bool force);

    const pluginhost::PluginHost& m_plugin;
    PLUGIN_HANDLE m_handle;
    size_t m_blockSize;
    Block m_block;
    std::thread m_sender;
    std::shared_ptr<Block> m_sentBlock;  // in the plugin's hands, or sent
    uint32_t m_lastSent = 0;             // written by the sender, read after joining it
    uint64_t m_firstLine = 0, m_lastLine = 0;
    Counts m_counts;
    std::chrono::steady_clock::time_point m_start, m_lastTick;
    double m_seconds = 0;
};

}  // namespace northrun
