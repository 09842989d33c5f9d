// Members of Logger that only our stand-in has: north-run and the tests choose
// the level and where lines go. Included inside the class by logger.h; adds
// no data.
public:
    void setMinLevel(Level level) { m_level.store(static_cast<int>(level), std::memory_order_relaxed); }
    Level getMinLevel() const { return static_cast<Level>(m_level.load(std::memory_order_relaxed)); }
    bool isEnabled(Level level) const { return static_cast<int>(level) <= m_level.load(std::memory_order_relaxed); }
    // An empty sink restores the default: one line per message on standard error.
    void setSink(Sink sink);

    void warn(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);

    static const char* levelName(Level level);
    // Parses "error", "warning", "info" or "debug"; false for anything else.
    static bool parseLevel(const std::string& text, Level& level);

private:
    void write(Level level, const char* fmt, va_list args);
