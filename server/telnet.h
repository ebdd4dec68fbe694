// telnet.h -- keeps telnet's own bytes out of the lines a client types.
// A telnet client mixes command sequences into its input: Ctrl-C, say,
// arrives as IAC IP IAC DO TIMING-MARK before the next line. They are not
// part of any line, and the server takes up none of the options offered.
// The filter is a pure function of a small per-connection state; it owns
// nothing.
#pragma once

#include <string>
#include <string_view>

// Where a connection stands between two reads: a sequence may be split
// anywhere, so the filter resumes where the previous read stopped.
enum class TelnetPhase : unsigned char {
    DATA,      // ordinary bytes
    COMMAND,   // after IAC
    OPTION,    // after IAC and WILL, WONT, DO or DONT: the option byte
    SUB,       // inside IAC SB ... IAC SE
    SUB_IAC,   // after IAC inside a subnegotiation
};

struct TelnetState {
    TelnetPhase phase = TelnetPhase::DATA;
    unsigned char verb = 0;  // WILL, WONT, DO or DONT waiting for its option
};

// Filters one read of a client's input. Appends to line the bytes that
// belong to lines, unchanged but for IAC IAC, which stands for one 255
// byte; drops IAC with a command byte 240-249, IAC WILL/WONT/DO/DONT with
// its option, and IAC SB ... IAC SE. Appends to reply the refusal of each
// option request, in order: IAC WONT x for DO x, IAC DONT x for WILL x.
// IAC before any other byte is not a sequence; both bytes stay.
void filter_telnet(TelnetState &state, std::string_view input, std::string &line, std::string &reply);
