#include "description.h"

#include <string>

#include "names.h"

// Item order and attribute order are what the host shows the user; every
// attribute is a string except "options".
const char* const DEFAULT_CONFIG =
    "{ "
    "\"plugin\" : { \"description\" : \"Amazon Redshift north plugin\", \"type\" : \"string\", "
    "\"default\" : \"cirrant\", \"readonly\" : \"true\" }, "
    "\"host\" : { \"description\" : \"Amazon Redshift host\", \"type\" : \"string\", "
    "\"default\" : \"localhost\", \"order\" : \"1\", \"displayName\" : \"Hostname\", \"mandatory\" : \"true\" }, "
    "\"port\" : { \"description\" : \"Amazon Redshift port\", \"type\" : \"integer\", "
    "\"default\" : \"5439\", \"order\" : \"2\", \"displayName\" : \"Port\", \"mandatory\" : \"true\" }, "
    "\"dbName\" : { \"description\" : \"Database Name\", \"type\" : \"string\", "
    "\"default\" : \"vantrel\", \"order\" : \"3\", \"displayName\" : \"Database Name\", \"mandatory\" : \"true\" }, "
    "\"dbUser\" : { \"description\" : \"Database User\", \"type\" : \"string\", "
    "\"default\" : \"redshift\", \"order\" : \"4\", \"displayName\" : \"Database User\", \"mandatory\" : \"true\" }, "
    "\"dbPass\" : { \"description\" : \"Database Password\", \"type\" : \"password\", "
    "\"default\" : \"kvbn\", \"order\" : \"5\", \"displayName\" : \"Database Password\", \"mandatory\" : \"true\" }, "
    "\"vantrelInstance\" : { \"description\" : \"Vantrel instance name\", \"type\" : \"string\", "
    "\"default\" : \"Vantrel\", \"order\" : \"6\", \"displayName\" : \"Vantrel Name\", \"mandatory\" : \"true\" }, "
    "\"source\" : { \"description\" : \"The source of the data to send\", \"type\" : \"enumeration\", "
    "\"default\" : \"readings\", \"options\" : [\"readings\", \"statistics\"], \"displayName\" : \"Data Source\" } "
    "}";

PluginInformation g_pluginInformation = {
    "cirrant",           // name
    "3.1.0-1-g1a752dc",  // version
    SP_PERSIST_DATA,     // options: the host keeps the shutdown text for the next start
    "north",             // type
    "1.0.0",             // interface
    DEFAULT_CONFIG,      // config
};
