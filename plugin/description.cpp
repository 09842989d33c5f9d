#include "description.h"

#include <string>

#include "rules/names.h"

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
    "\"default\" : \"readings\", \"options\" : [\"readings\", \"statistics\"], \"displayName\" : \"Data Source\" }, "
    "\"s3Bucket\" : { \"description\" : \"S3 bucket where large tables of a block are staged for COPY; empty sends "
    "every row by INSERT\", \"type\" : \"string\", \"default\" : \"\", \"order\" : \"7\", \"displayName\" : "
    "\"S3 Bucket\", \"mandatory\" : \"false\" }, "
    "\"s3Prefix\" : { \"description\" : \"Key prefix of the staged objects\", \"type\" : \"string\", "
    "\"default\" : \"cirrant/\", \"order\" : \"8\", \"displayName\" : \"S3 Key Prefix\", \"mandatory\" : \"false\" }, "
    "\"s3Region\" : { \"description\" : \"Region of the S3 bucket, for signing and for COPY\", \"type\" : "
    "\"string\", \"default\" : \"us-east-1\", \"order\" : \"9\", \"displayName\" : \"S3 Region\", "
    "\"mandatory\" : \"false\" }, "
    "\"s3Endpoint\" : { \"description\" : \"Endpoint of an S3-compatible store, reached path-style; empty for "
    "AWS\", \"type\" : \"string\", \"default\" : \"\", \"order\" : \"10\", \"displayName\" : \"S3 Endpoint\", "
    "\"mandatory\" : \"false\" }, "
    "\"iamRole\" : { \"description\" : \"ARN of the IAM role Redshift assumes to read the bucket (recommended)\", "
    "\"type\" : \"string\", \"default\" : \"\", \"order\" : \"11\", \"displayName\" : \"IAM Role\", "
    "\"mandatory\" : \"false\" }, "
    "\"s3AccessKeyId\" : { \"description\" : \"Access key id for S3; empty takes AWS_ACCESS_KEY_ID\", "
    "\"type\" : \"string\", \"default\" : \"\", \"order\" : \"12\", \"displayName\" : \"S3 Access Key Id\", "
    "\"mandatory\" : \"false\" }, "
    "\"s3SecretAccessKey\" : { \"description\" : \"Secret access key for S3; empty takes AWS_SECRET_ACCESS_KEY "
    "and AWS_SESSION_TOKEN\", \"type\" : \"password\", \"default\" : \"\", \"order\" : \"13\", "
    "\"displayName\" : \"S3 Secret Access Key\", \"mandatory\" : \"false\" }, "
    "\"copyThreshold\" : { \"description\" : \"Rows of one table in one block from which the table goes by "
    "COPY\", \"type\" : \"integer\", \"default\" : \"5000\", \"order\" : \"14\", \"displayName\" : "
    "\"COPY Threshold\", \"mandatory\" : \"false\" } "
    "}";

PluginInformation g_pluginInformation = {
    "cirrant",           // name
    "3.1.0-1-g1a752dc",  // version
    SP_PERSIST_DATA,     // options: the host keeps the shutdown text for the next start
    "north",             // type
    "1.0.0",             // interface
    DEFAULT_CONFIG,      // config
};
