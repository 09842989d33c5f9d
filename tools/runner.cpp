#include "runner.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>

#include "console.h"
#include "line_reader.h"
#include "reading_line.h"
#include "stop_signal.h"
#include "text_file.h"

namespace northrun {
namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

uint64_t ratePerSecond(uint64_t count, double seconds) {
    return static_cast<uint64_t>(static_cast<double>(count) / std::max(seconds, 1e-6) + 0.5);
}

bool Runner::run(int fd) {
    m_start = std::chrono::steady_clock::now();
    LineReader reader(fd);
    std::string line, error;
    uint64_t lineNumber = 0;
    bool complete = true;
    while (!g_stopSignal) {
        LineReader::Result result = reader.next(line);
        if (result == LineReader::End || result == LineReader::Interrupted) break;
        if (result == LineReader::Failed) {
            say("cannot read the readings after line " + std::to_string(lineNumber) + ": " +
                pluginhost::errnoText(reader.error()));
            complete = false;
            break;
        }
        ++lineNumber;
        if (isBlankLine(line.data(), line.size())) continue;
        std::unique_ptr<Reading> reading = parseReadingLine(line.data(), line.size(), error);
        if (!reading) {
            ++m_counts.rejected;
            say("line " + std::to_string(lineNumber) + ": " + error);
        } else {
            ++m_counts.read;
            m_counts.tables.insert(targetTableName(*reading));
            if (m_block.empty()) m_firstLine = lineNumber;
            m_lastLine = lineNumber;
            m_block.push_back(std::move(reading));
            if (m_block.size() >= m_blockSize) sendBlock();
        }
        tick(false);
    }
    // On a signal too: what was read is sent before stopping.
    if (!m_block.empty()) sendBlock();
    finishSending();
    m_seconds = secondsSince(m_start);
    tick(true);
    return complete;
}

// A full block goes to the plugin on a thread of its own, so the next one is
// read and parsed while the database works on this one. The plugin still sees
// one call at a time, and at most one block waits in memory.
void Runner::sendBlock() {
    finishSending();
    auto block = std::make_shared<Block>(std::move(m_block));
    m_block.clear();
    const uint64_t first = m_firstLine, last = m_lastLine;
    // Signals stay with the reading thread, whose read() they must end.
    sigset_t stop, previous;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &previous);
    m_sender = std::thread([this, block, first, last] { m_lastSent = deliver(*block, first, last); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // The host owns the readings of a block and frees them once sent: the
    // block before this one is freed here, while the plugin works.
    m_sentBlock.reset();
    m_sentBlock = std::move(block);
}

void Runner::finishSending() {
    if (!m_sender.joinable()) return;
    m_sender.join();
    m_counts.sent += m_lastSent;
    ++m_counts.blocks;
}

uint32_t Runner::deliver(Block& block, uint64_t firstLine, uint64_t lastLine) {
    std::vector<Reading*> readings;
    readings.reserve(block.size());
    for (auto& r : block) readings.push_back(r.get());
    uint32_t sent = 0;
    try {
        sent = m_plugin.send(m_handle, readings);
    } catch (const std::exception& e) {
        say(std::string("plugin_send failed: ") + e.what());
    } catch (...) {
        say("plugin_send failed with an unknown exception");
    }
    sent = static_cast<uint32_t>(std::min<size_t>(sent, readings.size()));
    if (sent < readings.size())
        say("lines " + std::to_string(firstLine) + "-" + std::to_string(lastLine) + ": the plugin sent " +
            std::to_string(sent) + " of " + std::to_string(readings.size()) + " readings");
    return sent;
}

void Runner::tick(bool force) {
    if (!console().progressEnabled()) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - m_lastTick < std::chrono::milliseconds(200)) return;
    m_lastTick = now;
    double seconds = std::chrono::duration<double>(now - m_start).count();
    console().progress("read " + std::to_string(m_counts.read) + " sent " + std::to_string(m_counts.sent) +
                       " rejected " + std::to_string(m_counts.rejected) + " rate " +
                       std::to_string(ratePerSecond(m_counts.sent, seconds)) + "/s");
}

}  // namespace northrun
