// Parses and runs control commands; see control_commands.h.
#include "control_commands.h"

#include <charconv>
#include <functional>
#include <map>
#include <stdexcept>

namespace VelkStandin {

namespace {

// The words of a command after its name. Numbers are whole words; a string
// argument is always the last one and takes the rest of the line, so it may
// hold spaces or be empty.
class CommandArguments {
public:
    explicit CommandArguments(std::string text_) : text(std::move(text_)) {}

    uint32_t unsignedWord() { return number<uint32_t>(); }
    int32_t signedWord() { return number<int32_t>(); }

    std::string rest() {
        std::string value = position < text.size() ? text.substr(position) : std::string();
        position = text.size();
        return value;
    }

    void expectEnd() const {
        if (text.find_first_not_of(' ', position) != std::string::npos) {
            throw std::invalid_argument("too many arguments");
        }
    }

private:
    template <typename Number>
    Number number() {
        const std::string word = nextWord();
        Number value{};
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (word.empty() || error != std::errc() || end != word.data() + word.size()) {
            throw std::invalid_argument("not a number: " + word);
        }
        return value;
    }

    std::string nextWord() {
        const size_t begin = text.find_first_not_of(' ', position);
        if (begin == std::string::npos) {
            throw std::invalid_argument("missing argument");
        }
        const size_t end = std::min(text.find(' ', begin), text.size());
        position = std::min(end + 1, text.size());
        return text.substr(begin, end - begin);
    }

    std::string text;
    size_t position = 0;
};

using Command = std::function<void(ManagerService&, CommandArguments&)>;

std::string methodOf(CommandArguments& arguments) {
    std::string method = arguments.rest();
    if (!ManagerService::isMethod(method)) {
        throw std::invalid_argument("no such method: " + method);
    }
    return method;
}

const std::map<std::string, Command>& commands() {
    // Arguments are read into locals first: their order on the line is the
    // order of the signal's arguments.
    static const std::map<std::string, Command> table = {
        {"signalSessionShutdown",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t sessionId = arguments.unsignedWord();
             arguments.expectEnd();
             service.signalSessionShutdown(sessionId);
         }},
        {"signalSessionCreated",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t sessionId = arguments.unsignedWord();
             arguments.expectEnd();
             service.signalSessionCreated(sessionId);
         }},
        {"signalSessionConnected",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t sessionId = arguments.unsignedWord();
             const uint32_t transportPid = arguments.unsignedWord();
             service.signalSessionConnected(sessionId, transportPid, arguments.rest());
         }},
        {"signalSessionDisconnected",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t sessionId = arguments.unsignedWord();
             const uint32_t transportPid = arguments.unsignedWord();
             service.signalSessionDisconnected(sessionId, transportPid, arguments.rest());
         }},
        {"signalProxyAllowConnection",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t sessionId = arguments.unsignedWord();
             const uint32_t samId = arguments.unsignedWord();
             arguments.expectEnd();
             service.signalProxyAllowConnection(sessionId, samId);
         }},
        {"signalProxyListenTimeout",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t seconds = arguments.unsignedWord();
             arguments.expectEnd();
             service.signalProxyListenTimeout(seconds);
         }},
        {"signalVelkStopped",
         [](ManagerService& service, CommandArguments& arguments) {
             arguments.expectEnd();
             service.signalVelkStopped();
         }},
        {"signalTransportDisplaySwitchTo",
         [](ManagerService& service, CommandArguments& arguments) {
             const int32_t x = arguments.signedWord();
             const int32_t y = arguments.signedWord();
             service.signalTransportDisplaySwitchTo(x, y, arguments.rest());
         }},
        {"session",
         [](ManagerService& service, CommandArguments& arguments) {
             const uint32_t sessionId = arguments.unsignedWord();
             service.setSessionInfo(sessionId, arguments.rest());
         }},
        {"fail", [](ManagerService& service,
                    CommandArguments& arguments) { service.setFailing(methodOf(arguments), true); }},
        {"hang", [](ManagerService& service,
                    CommandArguments& arguments) { service.setSilent(methodOf(arguments), true); }},
        {"succeed", [](ManagerService& service, CommandArguments& arguments) {
             const std::string method = methodOf(arguments);
             service.setFailing(method, false);
             service.setSilent(method, false);
         }}};
    return table;
}

}  // namespace

CommandResult runCommand(ManagerService& service, const std::string& line) {
    if (line == "quit") {
        return CommandResult::Quit;
    }
    const size_t nameEnd = line.find(' ');
    const auto command = commands().find(line.substr(0, nameEnd));
    if (command == commands().end()) {
        throw std::invalid_argument("unknown command");
    }
    CommandArguments arguments(nameEnd == std::string::npos ? std::string() : line.substr(nameEnd + 1));
    command->second(service, arguments);
    return CommandResult::Done;
}

}  // namespace VelkStandin
