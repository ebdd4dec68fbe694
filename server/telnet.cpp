// telnet.cpp -- the telnet filter: strips command sequences from a client's
// input and refuses every option request. Owns nothing; the state it
// resumes from lives in each client's record.
#include "telnet.h"

static const unsigned char IAC = 255;
static const unsigned char DONT = 254;
static const unsigned char DO = 253;
static const unsigned char WONT = 252;
static const unsigned char WILL = 251;
static const unsigned char SB = 250;
static const unsigned char SE = 240;

static void append_sequence(std::string &text, unsigned char verb, unsigned char option)
{
    text += static_cast<char>(IAC);
    text += static_cast<char>(verb);
    text += static_cast<char>(option);
}

// The byte after IAC outside a subnegotiation; returns the next phase.
static TelnetPhase take_command(TelnetState &state, unsigned char byte, std::string &line)
{
    if (byte == IAC) {
        line += static_cast<char>(IAC);
        return TelnetPhase::DATA;
    }
    if (byte == SB)
        return TelnetPhase::SUB;
    if (byte >= WILL) {
        state.verb = byte;
        return TelnetPhase::OPTION;
    }
    if (byte < SE) {
        // No telnet command: the IAC was a byte of the line after all.
        line += static_cast<char>(IAC);
        line += static_cast<char>(byte);
    }
    return TelnetPhase::DATA;
}

// Saying no to every request keeps both sides in plain network-virtual-
// terminal mode, which is all a line-based server understands. WONT and
// DONT ask nothing and need no answer.
static void refuse_option(unsigned char verb, unsigned char option, std::string &reply)
{
    if (verb == DO)
        append_sequence(reply, WONT, option);
    else if (verb == WILL)
        append_sequence(reply, DONT, option);
}

// One byte in any phase but DATA.
static void take_byte(TelnetState &state, unsigned char byte, std::string &line, std::string &reply)
{
    switch (state.phase) {
    case TelnetPhase::COMMAND:
        state.phase = take_command(state, byte, line);
        break;
    case TelnetPhase::OPTION:
        refuse_option(state.verb, byte, reply);
        state.phase = TelnetPhase::DATA;
        break;
    case TelnetPhase::SUB:
        if (byte == IAC)
            state.phase = TelnetPhase::SUB_IAC;
        break;
    case TelnetPhase::SUB_IAC:
        // Only IAC SE ends a subnegotiation; IAC IAC is a data byte of it.
        state.phase = byte == SE ? TelnetPhase::DATA : TelnetPhase::SUB;
        break;
    case TelnetPhase::DATA:
        break;
    }
}

void filter_telnet(TelnetState &state, std::string_view input, std::string &line, std::string &reply)
{
    std::size_t at = 0;
    while (at < input.size()) {
        if (state.phase == TelnetPhase::DATA) {
            // Ordinary input holds no IAC at all: pass it on in one piece.
            std::size_t iac = input.find(static_cast<char>(IAC), at);
            if (iac == std::string_view::npos)
                iac = input.size();
            line.append(input.substr(at, iac - at));
            if (iac == input.size())
                return;
            state.phase = TelnetPhase::COMMAND;
            at = iac + 1;
            continue;
        }
        take_byte(state, static_cast<unsigned char>(input[at]), line, reply);
        ++at;
    }
}
