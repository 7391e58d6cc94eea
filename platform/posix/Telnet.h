#pragma once
// The client side of telnet (RFC 854, 855) as a network serial server speaks it, with the
// COM-PORT-OPTION of RFC 2217: option negotiation, IAC doubling in both directions, and the
// commands that set a remote serial port's line and report its modem lines.
//
// A pure codec: it reads and writes byte strings and keeps the state that spans buffers (a
// command split between two reads), so it is tested without a network. One object per
// connection; not thread-safe (the relay's thread owns it).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::posix::telnet {

inline constexpr unsigned char Iac = 255;
inline constexpr unsigned char Dont = 254;
inline constexpr unsigned char Do = 253;
inline constexpr unsigned char Wont = 252;
inline constexpr unsigned char Will = 251;
inline constexpr unsigned char Sb = 250;
inline constexpr unsigned char Se = 240;

inline constexpr unsigned char OptionBinary = 0;
inline constexpr unsigned char OptionEcho = 1;
inline constexpr unsigned char OptionSuppressGoAhead = 3;
inline constexpr unsigned char OptionComPort = 44;

// RFC 2217's commands from client to server; the server answers each with the same number
// plus ServerOffset.
enum class ComCommand : std::uint8_t {
    SetBaudrate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
};
inline constexpr unsigned char ServerOffset = 100;

// SET-CONTROL values.
inline constexpr unsigned char ControlNoFlow = 1;
inline constexpr unsigned char ControlXonXoff = 2;
inline constexpr unsigned char ControlHardware = 3;
inline constexpr unsigned char ControlDtrOn = 8;
inline constexpr unsigned char ControlDtrOff = 9;
inline constexpr unsigned char ControlRtsOn = 11;
inline constexpr unsigned char ControlRtsOff = 12;

// NOTIFY-MODEMSTATE bits.
inline constexpr unsigned char ModemCts = 0x10;
inline constexpr unsigned char ModemDsr = 0x20;
inline constexpr unsigned char ModemRing = 0x40;
inline constexpr unsigned char ModemDcd = 0x80;

// Where the COM-PORT-OPTION stands with the server.
enum class ComPortStatus : std::uint8_t { Asked, Agreed, Refused };

// One RFC 2217 command, framed for the wire: IAC SB COM-PORT-OPTION Command Value IAC SE,
// with every IAC in Value doubled.
std::string ComPortCommand(ComCommand Command, std::string_view Value);
// A 4-byte value in network order (SET-BAUDRATE).
std::string BigEndian32(std::uint32_t Value);

class Client {
public:
    // The bytes that open the negotiation: WILL COM-PORT-OPTION, and binary transmission and
    // no go-ahead in both directions.
    [[nodiscard]] std::string Start();

    // Takes Bytes received from the server: the serial data in them is appended to Data, what
    // the negotiation must answer to Reply. Commands may be split anywhere between calls.
    void Receive(std::string_view Bytes, std::string& Data, std::string& Reply);

    // Serial data for the wire: IAC doubled, and CR followed by NUL while the server has not
    // agreed to binary transmission (RFC 854's rule for a bare CR).
    void Send(std::string_view Data, std::string& Out) const;

    [[nodiscard]] ComPortStatus ComPort() const { return FComPort; }
    // The last NOTIFY-MODEMSTATE, once one came.
    [[nodiscard]] std::optional<unsigned char> ModemState() const { return FModemState; }

private:
    // One option's two sides: ours (WILL) and the server's (DO from its view).
    struct OptionState {
        bool LocalOn = false;
        bool LocalAsked = false;
        bool RemoteOn = false;
        bool RemoteAsked = false;
    };
    enum class Phase : std::uint8_t { Data, Command, Verb, Sub, SubIac };

    void Negotiate(unsigned char Verb, unsigned char Option, std::string& Reply);
    void SubNegotiation();
    OptionState& State(unsigned char Option);
    static bool WeOffer(unsigned char Option);
    static bool WeAccept(unsigned char Option);

    Phase FPhase = Phase::Data;
    unsigned char FVerb = 0;
    bool FAfterCr = false; // a CR came in non-binary mode: a NUL after it is no data
    std::string FSub;
    OptionState FBinary;
    OptionState FSuppressGoAhead;
    OptionState FComPortOption;
    OptionState FOther; // every option refused: its state never turns on
    ComPortStatus FComPort = ComPortStatus::Asked;
    std::optional<unsigned char> FModemState;
};

} // namespace kivo::posix::telnet
