// Members of Reading that only our stand-in has: how north-run and the tests
// make readings and look at their timestamps. Included inside the class by
// reading.h; adds no data.
public:
    // Takes ownership of the datapoints.
    Reading(const std::string& asset, std::vector<Datapoint*> values, int64_t userTsMicros, int64_t tsMicros);
    // Both timestamps are the current time.
    Reading(const std::string& asset, std::vector<Datapoint*> values);
    ~Reading();

    void addDatapoint(Datapoint* dp) { m_values.push_back(dp); }

    int64_t getUserTimestamp() const { return m_userTs; }
    int64_t getTimestamp() const { return m_ts; }
    void setUserTimestamp(int64_t micros) { m_userTs = micros; }
    void setTimestamp(int64_t micros) { m_ts = micros; }

    static int64_t nowMicros();
    static std::string formatTime(int64_t micros, dateTimeFormat fmt, bool addMs);
