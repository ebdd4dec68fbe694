// parser.cpp -- the line parser. It keeps no list of commands: parsing and
// running alternate, so a command has been started (and a foreground one has
// ended) before the words after it are looked at.
//
// The rest of the line is a view that loses each word as it is taken, so a
// line costs time in proportion to its length however many words it holds.
#include "parser.h"


void init_parse(int cid)
{
    Client &c = client_of(cid);
    c.pc = (c.pc + 1) % PIPE_SLOTS;
    clear_command(c.cmd);
    c.cmd_name.clear();
    c.filename.clear();
    c.pipeN = 1;
    c.flag_pipe = false;
    c.flag_error_pipe = false;
    c.flag_user_pipe_in = false;
    c.flag_user_pipe_out = false;
    c.parse_done = false;
}

void remove_space(std::string_view &str)
{
    std::size_t n = 0;
    while (n < str.size() && str[n] == ' ')
        ++n;
    str.remove_prefix(n);
}

std::string split(std::string_view &str, std::string_view delim)
{
    std::size_t at = str.find(delim);
    if (at == std::string_view::npos)
        at = str.size();
    std::string taken(str.substr(0, at));
    str.remove_prefix(at);
    return taken;
}

bool check_cmd_end(std::string_view input)
{
    remove_space(input);
    if (input.empty())
        return true;
    char first = input.front();
    return !(first == '|' || first == '!' || first == '>' || first == '<');
}

void parse_pipe(std::string pipe_str)
{
    Client &c = current_client();
    pipe_str.erase(0, 1);
    if (!pipe_str.empty())
        read_number(pipe_str, c.pipeN);
    c.flag_pipe = true;
    c.parse_done = true;
}

void parse_error_pipe(std::string pipe_str)
{
    Client &c = current_client();
    pipe_str.erase(0, 1);
    read_number(pipe_str, c.pipeN);
    c.flag_error_pipe = true;
    c.parse_done = true;
}

void parse_filename(std::string_view &input)
{
    Client &c = current_client();
    remove_space(input);
    c.filename = split(input, " ");
    c.parse_done = check_cmd_end(input);
}

// A user-pipe marker with no number names user 0, never an id left over
// from an earlier marker, so it is reported as a user that does not exist.
// The rest of the line is looked at, not consumed.
static void parse_user_pipe(const std::string &pipe_str, std::string_view input, int &id, bool &flag)
{
    id = 0;
    read_number(std::string_view(pipe_str).substr(1), id);
    flag = true;
    current_client().parse_done = check_cmd_end(input);
}

void parse_user_pipe_out(std::string pipe_str, std::string_view input)
{
    Client &c = current_client();
    parse_user_pipe(pipe_str, input, c.user_pipeN_out, c.flag_user_pipe_out);
}

void parse_user_pipe_in(std::string pipe_str, std::string_view input)
{
    Client &c = current_client();
    parse_user_pipe(pipe_str, input, c.user_pipeN_in, c.flag_user_pipe_in);
}

// An ordinary word. tell and yell take the rest of the line whole as their
// message, blanks and marker characters included.
static void parse_word(const std::string &word, std::string_view &rest)
{
    Client &c = current_client();
    add_word(c.cmd, word);
    if (c.cmd_name.empty())
        c.cmd_name = word;
    if ((c.cmd_name == "tell" && c.cmd.argc == 2) || (c.cmd_name == "yell" && c.cmd.argc == 1)) {
        add_word(c.cmd, std::string(rest));
        rest = std::string_view();
    }
}

void start_line(std::string input)
{
    if (!input.empty() && input.back() == '\r')
        input.pop_back();
    Client &c = current_client();
    c.input_backup = std::move(input);
    c.line.rest_pos = 0;
    c.line_pgid = 0;
}

LineProgress continue_line(const TurnLimit &limit, bool resume)
{
    int budget = limit.commands;
    const int cid = current_cid;
    Client &c = client_of(cid);
    std::string_view rest(c.input_backup);
    rest.remove_prefix(c.line.rest_pos);
    // A command that could not start yet is complete already: hand it to
    // execute() again without reading another word.
    bool complete = resume;
    LineProgress progress;
    for (;;) {
        if (!complete) {
            remove_space(rest);
            if (rest.empty()) {
                progress.over = true;
                return progress;
            }
            std::string word = split(rest, " ");
            remove_space(rest);
            if (word[0] == '|')
                parse_pipe(word);
            else if (word[0] == '!')
                parse_error_pipe(word);
            else if (word == ">")
                parse_filename(rest);
            else if (word[0] == '>')
                parse_user_pipe_out(word, rest);
            else if (word[0] == '<')
                parse_user_pipe_in(word, rest);
            else
                parse_word(word, rest);
            if (!c.parse_done && !rest.empty())
                continue;
        }
        complete = false;
        c.line.rest_pos = c.input_backup.size() - rest.size();
        progress.last = execute();
        const Outcome::Result result = progress.last.result;
        if (result == Outcome::WAIT_UNTIL || result == Outcome::WAIT_FOR_OUTPUT ||
            result == Outcome::WAIT_FOR_READERS)
            return progress;  // its fields stay until it has run
        init_parse(cid);
        // After exit, after a command that could not start, or once the
        // client is leaving, the rest of the line is not run.
        if (result == Outcome::LEAVES || result == Outcome::GIVEN_UP || c.conn.ending != Ending::NONE) {
            progress.over = true;
            return progress;
        }
        if (result == Outcome::FOREGROUND || --budget == 0)
            return progress;
        if ((limit.stop_after_start && progress.last.started) || (limit.until_us != 0 && now_us() >= limit.until_us))
            return progress;
    }
}

void parse(std::string input)
{
    start_line(std::move(input));
    continue_line(TurnLimit(), false);
}
