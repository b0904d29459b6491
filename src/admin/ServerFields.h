#pragma once
// The server dialog's checks when the operator presses OK, as plain functions: the
// dialog shows the returned text as an error box and stays open.
#include <optional>
#include <string>

struct ServerFields
{
    std::u16string name;
    std::u16string address;
    std::u16string portText; // the port field as typed (digits only)
    std::u16string password;
};

// The longest password the dialog's field takes.
inline constexpr size_t MAX_SERVER_PASSWORD_LENGTH = 127;

// The port field as a number: "Please enter an integer." when it holds none.
std::optional<std::string> ReadPortField(const std::u16string& portText, int& port);

// In this order: a port field without a number, "Name can't be empty.", "Address
// can't be empty.", "Invalid port number." (outside 1..65534), then what the list
// could not load again after a restart: a name longer than 255 characters or a
// stored text longer than 512 bytes. Nothing when the values may be taken; `port`
// then holds the port.
std::optional<std::string> CheckServerFields(const ServerFields& fields, int& port);
