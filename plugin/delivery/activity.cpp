#include "delivery/activity.h"

#include "logger.h"

void Activity::tick(Clock::time_point now) {
    if (now - m_since >= std::chrono::minutes(1)) log("in the last minute");
}

void Activity::log(const char* when) {
    Logger::getLogger()->info(
        "AWS Redshift - %s: %llu block(s), %llu reading(s) written; %llu refused and %llu changed (kept in the "
        "rejects table); %llu retries, %llu reconnection(s), %llu block(s) in doubt; last error: %s",
        when, static_cast<unsigned long long>(m_blocks), static_cast<unsigned long long>(m_readings),
        static_cast<unsigned long long>(m_refused), static_cast<unsigned long long>(m_changed),
        static_cast<unsigned long long>(m_retries), static_cast<unsigned long long>(m_reconnections),
        static_cast<unsigned long long>(m_inDoubt), m_lastError.empty() ? "none" : m_lastError.c_str());
    *this = Activity();
}
