// The connection record of one hub port, as the USB stack answers it and as the
// install policy reads it. The tool's own byte-packed definition at the
// platform's published offsets; the same bytes travel through every
// DeviceIoControl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma pack(push, 1)

// USB_DEVICE_DESCRIPTOR.
struct usb_device_descriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bMaxPacketSize0;
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
    std::uint8_t iManufacturer;
    std::uint8_t iProduct;
    std::uint8_t iSerialNumber;
    std::uint8_t bNumConfigurations;
};

// USB_NODE_CONNECTION_INFORMATION_EX with room for 30 pipes of 11 bytes.
// The older USB_NODE_CONNECTION_INFORMATION has the same layout with a
// LowSpeed byte where this one has Speed.
struct port_connection {
    std::uint32_t ConnectionIndex;
    usb_device_descriptor DeviceDescriptor;
    std::uint8_t CurrentConfigurationValue;
    std::uint8_t Speed;
    std::uint8_t DeviceIsHub;
    std::uint16_t DeviceAddress;
    std::uint32_t NumberOfOpenPipes;
    std::uint32_t ConnectionStatus;
    std::uint8_t PipeList[330];
};

#pragma pack(pop)

static_assert(sizeof(usb_device_descriptor) == 18);
static_assert(sizeof(port_connection) == 365);
static_assert(offsetof(port_connection, DeviceDescriptor) == 4);
static_assert(offsetof(port_connection, DeviceDescriptor) +
                  offsetof(usb_device_descriptor, idVendor) ==
              12);
static_assert(offsetof(port_connection, DeviceDescriptor) +
                  offsetof(usb_device_descriptor, idProduct) ==
              14);
static_assert(offsetof(port_connection, CurrentConfigurationValue) == 22);
static_assert(offsetof(port_connection, Speed) == 23);
static_assert(offsetof(port_connection, DeviceIsHub) == 24);
static_assert(offsetof(port_connection, DeviceAddress) == 25);
static_assert(offsetof(port_connection, NumberOfOpenPipes) == 27);
static_assert(offsetof(port_connection, ConnectionStatus) == 31);
static_assert(offsetof(port_connection, PipeList) == 35);

constexpr std::size_t port_connection_size = sizeof(port_connection);
constexpr std::size_t id_vendor_offset = 12;
constexpr std::size_t id_product_offset = 14;

// The vendor and product IDs of a connection record, read byte-wise (the record
// is packed and may sit at any address).
inline std::uint16_t connection_vendor(const port_connection *c) {
    std::uint16_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char *>(c) + id_vendor_offset, sizeof v);
    return v;
}
inline std::uint16_t connection_product(const port_connection *c) {
    std::uint16_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char *>(c) + id_product_offset, sizeof v);
    return v;
}
