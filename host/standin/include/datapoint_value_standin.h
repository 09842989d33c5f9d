// Members of DatapointValue that only our stand-in has: how north-run and the
// tests make values. Included inside the class by datapoint.h; adds no data.
public:
    explicit DatapointValue(const std::string& text);
    explicit DatapointValue(const char* text);
    explicit DatapointValue(long value);
    explicit DatapointValue(int value) : DatapointValue(static_cast<long>(value)) {}
    explicit DatapointValue(double value);
    // Takes ownership of the children; isDict selects DP_DICT over DP_LIST.
    DatapointValue(std::vector<Datapoint*>* children, bool isDict);
    // A value of a kind without a payload this library models (arrays, images,
    // data buffers, unknown codes): only its type code is kept.
    static DatapointValue opaque(uint32_t typeCode);

    DatapointValue(DatapointValue&& other) noexcept;
    DatapointValue& operator=(const DatapointValue& other);
    DatapointValue& operator=(DatapointValue&& other) noexcept;

    const std::string& stringValue() const { return *m_value.str; }  // DP_STRING only

private:
    DatapointValue() : m_type(DP_FLOAT_ARRAY) { m_value.i = 0; }
    void release() noexcept;
    void copyFrom(const DatapointValue& other);
