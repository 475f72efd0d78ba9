#include "platform/linux/dbus/address.hpp"

#include <gtest/gtest.h>

namespace quillbeam::bridge::platform::dbus {
namespace {

using Endpoints = std::vector<SocketEndpoint>;

struct AddressCase {
  const char* address;
  std::variant<Endpoints, std::string> expected;
};

class BusAddresses : public ::testing::TestWithParam<AddressCase> {};

TEST_P(BusAddresses, NameTheirUnixSocketsOrSayWhyNot) {
  EXPECT_EQ(socketEndpoints(GetParam().address), GetParam().expected) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BusAddresses,
    ::testing::Values(
        AddressCase{"unix:path=/run/user/1000/bus", Endpoints{{"/run/user/1000/bus", false}}},
        AddressCase{"unix:abstract=/tmp/dbus-x1,guid=0f0e", Endpoints{{"/tmp/dbus-x1", true}}},
        AddressCase{"unix:guid=0f0e,path=/tmp/bus", Endpoints{{"/tmp/bus", false}}},
        AddressCase{"tcp:host=localhost,port=1;unix:path=/a;unix:path=/b",
                    Endpoints{{"/a", false}, {"/b", false}}},
        AddressCase{"unix:path=/tmp/with%20space%2cand%3bmore",
                    Endpoints{{"/tmp/with space,and;more", false}}},
        AddressCase{";;unix:path=/a;", Endpoints{{"/a", false}}},
        AddressCase{"", std::string("the bus address is empty")},
        AddressCase{"not-an-address", std::string("the bus address has no transport")},
        AddressCase{"tcp:host=localhost,port=1",
                    std::string("the bus address names no Unix socket")},
        AddressCase{"unix:path", std::string("the bus address has a key without a value")},
        AddressCase{"unix:path=", std::string("the bus address has a malformed socket name")},
        AddressCase{"unix:path=/a%2", std::string("the bus address has a malformed socket name")},
        AddressCase{"unix:path=/a%zz",
                    std::string("the bus address has a malformed socket name")}));

}  // namespace
}  // namespace quillbeam::bridge::platform::dbus
