#pragma once
// The identity of the out-of-process test server, shared by the server and its tests.

#include "platform/com.h"

namespace opc_test {

// {0F371E21-31F3-4F06-9642-7CACA769B5C2}, the tests' own class unless "--clsid" names another.
constexpr CLSID kTestServerClassId = {
    0x0f371e21, 0x31f3, 0x4f06, {0x96, 0x42, 0x7c, 0xac, 0xa7, 0x69, 0xb5, 0xc2}};
constexpr const char* kTestServerProgId = "Karvex.OPCTest.1";

// The one property beside the standard ones that the server's driver gives an item ID of its
// own (the same for every tag), so that LookupItemIDs hands out a string.
constexpr unsigned long kVendorPropertyId = 5001;
constexpr const char* kVendorPropertyItemId = "Vendor/Property 5001";

// Files the server writes into the folder given by "--dir" on its command line.
constexpr const char* kPidFile = "server.pid";
constexpr const char* kLogFile = "opcservice.log";
// Created by a test to make the server stop although clients are still attached.
constexpr const char* kStopFile = "stop";
// Created by a test to make the server ask every client to shut down (once), and serve on.
constexpr const char* kShutdownFile = "shutdown";

}  // namespace opc_test
