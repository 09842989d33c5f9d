// Members of Datapoint that only our stand-in has. Included inside the class
// by datapoint.h; adds no data.
public:
    Datapoint(const std::string& name, const DatapointValue& value) : m_name(name), m_value(value) {}
    Datapoint(const std::string& name, DatapointValue&& value) : m_name(name), m_value(std::move(value)) {}

    void setName(const std::string& name) { m_name = name; }
    DatapointValue& getData() { return m_value; }
