#include "genicam_xml.h"

#include <cstdio>
#include <sstream>

namespace zyl::gige {

const char* PixelFormatName(std::uint32_t format) {
    switch (format) {
        case kMono8:
            return "Mono8";
        case kRgb8:
            return "RGB8";
        case kBgr8:
            return "BGR8";
        default:
            return "unknown";
    }
}

int BytesPerPixel(std::uint32_t format) {
    return format == kMono8 ? 1 : 3;
}

namespace {

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string Number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// One 32-bit register of the device port.
std::string IntReg(const std::string& name, std::uint32_t address, const char* access,
                   const char* sign = "Unsigned") {
    return "  <IntReg Name=\"" + name + "\">\n    <Address>" + Hex(address) +
           "</Address>\n    <Length>4</Length>\n    <AccessMode>" + access +
           "</AccessMode>\n    <pPort>Device</pPort>\n    <Sign>" + sign +
           "</Sign>\n    <Endianess>BigEndian</Endianess>\n  </IntReg>\n";
}

std::string StringReg(const std::string& name, std::uint32_t address, int length,
                      const char* nameSpace = "Standard") {
    return "  <StringReg Name=\"" + name + "\" NameSpace=\"" + nameSpace + "\">\n    <Address>" +
           Hex(address) + "</Address>\n    <Length>" + std::to_string(length) +
           "</Length>\n    <AccessMode>RO</AccessMode>\n    <pPort>Device</pPort>\n  "
           "</StringReg>\n";
}

std::string Integer(const std::string& name, const char* nameSpace, const std::string& tip,
                    const std::string& value, long long min, long long max) {
    return "  <Integer Name=\"" + name + "\" NameSpace=\"" + nameSpace + "\">\n    <ToolTip>" +
           tip + "</ToolTip>\n    <pValue>" + value + "</pValue>\n    <Min>" + std::to_string(min) +
           "</Min>\n    <Max>" + std::to_string(max) + "</Max>\n  </Integer>\n";
}

std::string Category(const std::string& name, const char* nameSpace,
                     std::initializer_list<const char*> features) {
    std::string text = "  <Category Name=\"" + name + "\" NameSpace=\"" + nameSpace + "\">\n";
    for (const char* feature : features)
        text += std::string("    <pFeature>") + feature + "</pFeature>\n";
    return text + "  </Category>\n";
}

}  // namespace

std::string GenicamXml(const Description& d) {
    const long long lastFrame = d.frameCount > 0 ? static_cast<long long>(d.frameCount) - 1 : 0;
    const long long payload =
        static_cast<long long>(d.width) * d.height * BytesPerPixel(d.pixelFormat);
    std::ostringstream x;
    x << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<RegisterDescription ModelName=\"VideoFile\" VendorName=\"ZylAvi\""
         " ToolTip=\"A video file served as a camera\" StandardNameSpace=\"GEV\""
         " SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\""
         " MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\""
         " ProductGuid=\"5A594C41-5649-4745-8001-000000000001\""
         " VersionGuid=\"5A594C41-5649-4745-8001-000000000002\""
         " xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n";
    x << Category("Root", "Standard",
                  {"DeviceControl", "ImageFormatControl", "AcquisitionControl",
                   "TransportLayerControl", "ZylAviControl"});
    x << Category("DeviceControl", "Standard",
                  {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceSerialNumber",
                   "DeviceUserID"});
    // The bootstrap registers every GigE Vision device has.
    x << StringReg("DeviceVendorName", reg::kVendorName, 32)
      << StringReg("DeviceModelName", reg::kModelName, 32)
      << StringReg("DeviceVersion", reg::kDeviceVersion, 32)
      << StringReg("DeviceSerialNumber", reg::kSerialNumber, 16)
      << StringReg("DeviceUserID", reg::kUserName, 16);

    x << Category("ImageFormatControl", "Standard",
                  {"Width", "Height", "OffsetX", "OffsetY", "PixelFormat", "PayloadSize"});
    // The picture is the file's: nothing here can be written.
    x << Integer("Width", "Standard", "Width of the file's frames", "WidthReg", d.width, d.width)
      << IntReg("WidthReg", 0x100, "RO");
    x << Integer("Height", "Standard", "Height of the file's frames", "HeightReg", d.height,
                 d.height)
      << IntReg("HeightReg", 0x104, "RO");
    x << Integer("OffsetX", "Standard", "Always 0", "OffsetXReg", 0, 0)
      << IntReg("OffsetXReg", 0x130, "RO");
    x << Integer("OffsetY", "Standard", "Always 0", "OffsetYReg", 0, 0)
      << IntReg("OffsetYReg", 0x134, "RO");
    x << "  <Enumeration Name=\"PixelFormat\" NameSpace=\"Standard\">\n"
         "    <ToolTip>The format the module delivers the file in</ToolTip>\n"
         "    <EnumEntry Name=\""
      << PixelFormatName(d.pixelFormat) << "\" NameSpace=\"Standard\">\n      <Value>"
      << d.pixelFormat
      << "</Value>\n    </EnumEntry>\n    <pValue>PixelFormatReg</pValue>\n  </Enumeration>\n"
      << IntReg("PixelFormatReg", 0x128, "RO");
    x << Integer("PayloadSize", "Standard", "Bytes per image", "PayloadSizeReg", payload, payload)
      << IntReg("PayloadSizeReg", reg::kPayloadSize, "RO");

    x << Category(
        "AcquisitionControl", "Standard",
        {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "AcquisitionFrameRate"});
    x << "  <Enumeration Name=\"AcquisitionMode\" NameSpace=\"Standard\">\n"
         "    <EnumEntry Name=\"Continuous\" NameSpace=\"Standard\">\n"
         "      <Value>1</Value>\n    </EnumEntry>\n"
         "    <pValue>AcquisitionModeReg</pValue>\n  </Enumeration>\n"
      << IntReg("AcquisitionModeReg", 0x12C, "RW");
    x << "  <Command Name=\"AcquisitionStart\" NameSpace=\"Standard\">\n"
         "    <ToolTip>Plays the file</ToolTip>\n"
         "    <pValue>AcquisitionCommandReg</pValue>\n    <CommandValue>1</CommandValue>\n"
         "  </Command>\n"
         "  <Command Name=\"AcquisitionStop\" NameSpace=\"Standard\">\n"
         "    <ToolTip>Pauses the file</ToolTip>\n"
         "    <pValue>AcquisitionCommandReg</pValue>\n    <CommandValue>0</CommandValue>\n"
         "  </Command>\n"
      << IntReg("AcquisitionCommandReg", 0x124, "RW");
    // Writable: a rate other than the file's plays it faster or slower (0.25 to 16 times).
    x << "  <Float Name=\"AcquisitionFrameRate\" NameSpace=\"Standard\">\n"
         "    <ToolTip>Frames per second; the file's rate plays it as recorded</ToolTip>\n"
         "    <pValue>AcquisitionFrameRateReg</pValue>\n    <Min>"
      << Number(d.frameRate * (d.rateWritable ? 0.25 : 1.0)) << "</Min>\n    <Max>"
      << Number(d.frameRate * (d.rateWritable ? 16.0 : 1.0))
      << "</Max>\n    <Unit>Hz</Unit>\n  </Float>\n"
         "  <FloatReg Name=\"AcquisitionFrameRateReg\">\n    <Address>"
      << Hex(reg::kFrameRate)
      << "</Address>\n    <Length>8</Length>\n    <AccessMode>RW</AccessMode>\n"
         "    <pPort>Device</pPort>\n    <Endianess>BigEndian</Endianess>\n  </FloatReg>\n";

    x << Category("TransportLayerControl", "Standard", {"GevSCPSPacketSize"});
    x << Integer("GevSCPSPacketSize", "Standard", "Stream packet size in bytes",
                 "GevSCPSPacketSizeReg", 576, 9000)
      << IntReg("GevSCPSPacketSizeReg", reg::kStreamPacketSize, "RW");

    x << Category("ZylAviControl", "Custom",
                  {"ZylFrameIndex", "ZylFrameCount", "ZylSeekFrame", "ZylStepFrames", "ZylRewind",
                   "ZylLostFrames"});
    x << Integer("ZylFrameIndex", "Custom", "Index of the frame last served", "ZylFrameIndexReg", 0,
                 lastFrame)
      << IntReg("ZylFrameIndexReg", reg::kFrameIndex, "RO");
    x << Integer("ZylFrameCount", "Custom", "Frames in the file", "ZylFrameCountReg", d.frameCount,
                 d.frameCount)
      << IntReg("ZylFrameCountReg", reg::kFrameCount, "RO");
    x << Integer("ZylSeekFrame", "Custom", "Write a frame index to go there", "ZylSeekFrameReg", 0,
                 lastFrame)
      << IntReg("ZylSeekFrameReg", reg::kSeekFrame, "RW");
    x << Integer("ZylStepFrames", "Custom", "Write N to move N frames on (negative: back)",
                 "ZylStepFramesReg", -1000000, 1000000)
      << IntReg("ZylStepFramesReg", reg::kStepFrames, "RW", "Signed");
    x << "  <Command Name=\"ZylRewind\" NameSpace=\"Custom\">\n"
         "    <ToolTip>Back to the first frame</ToolTip>\n"
         "    <pValue>ZylRewindReg</pValue>\n    <CommandValue>1</CommandValue>\n"
         "  </Command>\n"
      << IntReg("ZylRewindReg", reg::kRewind, "RW");
    x << Integer("ZylLostFrames", "Custom", "Frames the module skipped since AcquisitionStart",
                 "ZylLostFramesReg", 0, 0x7FFFFFFF)
      << IntReg("ZylLostFramesReg", reg::kLostFrames, "RO");

    x << "  <Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return x.str();
}

}  // namespace zyl::gige
