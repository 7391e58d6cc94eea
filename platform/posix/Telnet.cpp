#include "platform/posix/Telnet.h"

namespace kivo::posix::telnet {
namespace {

constexpr std::size_t SubLimit = 64; // longer subnegotiations are no RFC 2217 answer
constexpr char Cr = '\r';

void Put(std::string& Out, unsigned char Byte) {
    Out.push_back(static_cast<char>(Byte));
}

void PutCommand(std::string& Out, unsigned char Verb, unsigned char Option) {
    Put(Out, Iac);
    Put(Out, Verb);
    Put(Out, Option);
}

} // namespace

std::string ComPortCommand(ComCommand Command, std::string_view Value) {
    std::string Out;
    Put(Out, Iac);
    Put(Out, Sb);
    Put(Out, OptionComPort);
    Put(Out, static_cast<unsigned char>(Command));
    for (const char Byte : Value) {
        Out.push_back(Byte);
        if (static_cast<unsigned char>(Byte) == Iac) {
            Put(Out, Iac);
        }
    }
    Put(Out, Iac);
    Put(Out, Se);
    return Out;
}

std::string BigEndian32(std::uint32_t Value) {
    std::string Out;
    for (int Shift = 24; Shift >= 0; Shift -= 8) {
        Put(Out, static_cast<unsigned char>((Value >> Shift) & 0xFFU));
    }
    return Out;
}

bool Client::WeOffer(unsigned char Option) {
    return Option == OptionBinary || Option == OptionSuppressGoAhead || Option == OptionComPort;
}

bool Client::WeAccept(unsigned char Option) {
    return Option == OptionBinary || Option == OptionSuppressGoAhead;
}

Client::OptionState& Client::State(unsigned char Option) {
    switch (Option) {
    case OptionBinary:
        return FBinary;
    case OptionSuppressGoAhead:
        return FSuppressGoAhead;
    case OptionComPort:
        return FComPortOption;
    default:
        FOther = OptionState{};
        return FOther;
    }
}

std::string Client::Start() {
    std::string Out;
    PutCommand(Out, Will, OptionComPort);
    FComPortOption.LocalAsked = true;
    for (const unsigned char Option : {OptionBinary, OptionSuppressGoAhead}) {
        PutCommand(Out, Will, Option);
        PutCommand(Out, Do, Option);
        State(Option).LocalAsked = true;
        State(Option).RemoteAsked = true;
    }
    return Out;
}

// RFC 854's rule: a request that would change nothing is not answered, and an answer to our
// own request is not answered again, so that negotiation never loops.
void Client::Negotiate(unsigned char Verb, unsigned char Option, std::string& Reply) {
    OptionState& S = State(Option);
    switch (Verb) {
    case Do:
        if (!WeOffer(Option)) {
            PutCommand(Reply, Wont, Option);
        } else if (!S.LocalOn) {
            S.LocalOn = true;
            if (!S.LocalAsked) {
                PutCommand(Reply, Will, Option);
            }
        }
        S.LocalAsked = false;
        break;
    case Dont:
        if (S.LocalOn || S.LocalAsked) {
            if (S.LocalOn && !S.LocalAsked) {
                PutCommand(Reply, Wont, Option);
            }
            S.LocalOn = false;
        }
        S.LocalAsked = false;
        break;
    case Will:
        if (!WeAccept(Option)) {
            PutCommand(Reply, Dont, Option);
        } else if (!S.RemoteOn) {
            S.RemoteOn = true;
            if (!S.RemoteAsked) {
                PutCommand(Reply, Do, Option);
            }
        }
        S.RemoteAsked = false;
        break;
    default: // Wont
        if (S.RemoteOn && !S.RemoteAsked) {
            PutCommand(Reply, Dont, Option);
        }
        S.RemoteOn = false;
        S.RemoteAsked = false;
        break;
    }
    if (Option == OptionComPort && (Verb == Do || Verb == Dont)) {
        FComPort = FComPortOption.LocalOn ? ComPortStatus::Agreed : ComPortStatus::Refused;
    }
}

// Of the server's answers only the modem state is kept: the others confirm settings.
void Client::SubNegotiation() {
    constexpr auto ModemAnswer = static_cast<unsigned char>(
        static_cast<unsigned char>(ComCommand::NotifyModemState) + ServerOffset);
    if (FSub.size() >= 3 && static_cast<unsigned char>(FSub[0]) == OptionComPort &&
        static_cast<unsigned char>(FSub[1]) == ModemAnswer) {
        FModemState = static_cast<unsigned char>(FSub[2]);
    }
    FSub.clear();
}

void Client::Receive(std::string_view Bytes, std::string& Data, std::string& Reply) {
    for (const char Char : Bytes) {
        const auto Byte = static_cast<unsigned char>(Char);
        switch (FPhase) {
        case Phase::Data:
            if (Byte == Iac) {
                FPhase = Phase::Command;
            } else if (!(FAfterCr && Byte == 0)) {
                Data.push_back(Char);
            }
            FAfterCr = Char == Cr && !FBinary.RemoteOn;
            break;
        case Phase::Command:
            FAfterCr = false;
            if (Byte == Iac) {
                Data.push_back(Char);
                FPhase = Phase::Data;
            } else if (Byte >= Will && Byte <= Dont) {
                FVerb = Byte;
                FPhase = Phase::Verb;
            } else if (Byte == Sb) {
                FSub.clear();
                FPhase = Phase::Sub;
            } else {
                FPhase = Phase::Data; // NOP, go-ahead and the like carry nothing for us
            }
            break;
        case Phase::Verb:
            Negotiate(FVerb, Byte, Reply);
            FPhase = Phase::Data;
            break;
        case Phase::Sub:
            if (Byte == Iac) {
                FPhase = Phase::SubIac;
            } else if (FSub.size() < SubLimit) {
                FSub.push_back(Char);
            }
            break;
        case Phase::SubIac:
            if (Byte == Iac) {
                if (FSub.size() < SubLimit) {
                    FSub.push_back(Char);
                }
                FPhase = Phase::Sub;
            } else {
                SubNegotiation(); // IAC SE, or a server that forgot it: either ends it
                FPhase = Phase::Data;
            }
            break;
        }
    }
}

void Client::Send(std::string_view Data, std::string& Out) const {
    for (const char Char : Data) {
        Out.push_back(Char);
        if (static_cast<unsigned char>(Char) == Iac) {
            Put(Out, Iac);
        } else if (Char == Cr && !FBinary.LocalOn) {
            Put(Out, 0);
        }
    }
}

} // namespace kivo::posix::telnet
