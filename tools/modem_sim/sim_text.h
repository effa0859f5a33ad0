// The texts modem-sim works with: the SMS answer line it gives to "AT$SMSMT=1?", the
// time words of its sms command, the escapes of its raw command and the hex-and-text form
// in which its log records bytes.
#pragma once

#include <cstdint>
#include <string>

namespace modemsim {

// Upper-case hex of every byte ("CONNECT" -> "434F4E4E454354").
std::string HexUpper(const std::string& szBytes);

// The bytes as one loggable token: printable ASCII as is, '"' and '\' escaped, CR, LF
// and TAB as \r \n \t, every other byte as \xHH; enclosed in double quotes.
std::string QuoteBytes(const std::string& szBytes);

// The text of a raw command with its escapes resolved: \r \n \t \\ \xHH (two hex digits);
// any other backslash stays as it is.
std::string Unescape(const std::string& szText);

// The time field of an SMS: "now" is the local time at nNow as 14 digits, "now-N" N
// seconds earlier and "now+N" N seconds later; anything else is taken as it stands.
std::string ExpandTime(const std::string& szWord, int64_t nNow);

// The whole answer to "AT$SMSMT=1?": "\r\n" then "TIME,SENDER,x,x,x,HEXTEXT,x\r\n".
std::string BuildSmsAnswer(const std::string& szTime, const std::string& szSender,
                           const std::string& szText);

}  // namespace modemsim
