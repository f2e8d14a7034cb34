#pragma once

/** Line settings of a serial port, as the device and its users choose them. */
struct SerialPortSettings
{
    int baudRate = 115200; ///< bits per second
    int dataBits = 8;      ///< bits per character; only the low 8 bits count
    int parity = 0;        ///< 0 none, 1 odd, 2 even, 3 space, 4 mark; other values none
    int stopBits = 0;      ///< 0 one, 1 one and a half, 2 two; other values one
    int flowControl = 0;   ///< 0 none, 1 hardware handshake, 2 XON/XOFF; other values none
};

/** The Nubo device's line: 115200 baud, 8 data bits, no parity, one stop bit, hardware handshake. */
inline SerialPortSettings nuboDeviceLineSettings()
{
    SerialPortSettings settings;
    settings.baudRate = 115200;
    settings.dataBits = 8;
    settings.parity = 0;
    settings.stopBits = 0;
    settings.flowControl = 1;
    return settings;
}
