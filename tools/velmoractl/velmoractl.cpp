// velmoractl: the commands, the same on Windows and on the kernel host.
#include "velmoractl.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>

namespace velmoractl {

namespace {

velmora::Result Refuse(velmora::NtStatus status, const std::string& detail) {
  velmora::Result r;
  r.status = status;
  r.detail = detail;
  return r;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseU32(const std::string& text, uint32_t* value) {
  uint64_t parsed;
  if (!ParseNumber(text, 0xFFFFFFFFull, &parsed)) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ':' || c == ' ' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2) return false;
  bytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes->push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

std::string Join(const std::vector<std::string>& words, size_t from, const char* separator) {
  std::string text;
  for (size_t i = from; i < words.size(); ++i) text += (i > from ? separator : "") + words[i];
  return text;
}

// A payload for a person: quoted text when it is all printable, else hex.
std::string ShowPayload(const std::vector<uint8_t>& payload) {
  bool printable = true;
  for (uint8_t b : payload) printable = printable && b >= 0x20 && b < 0x7F;
  std::string text;
  if (printable) {
    text = "\"";
    for (uint8_t b : payload) {
      if (b == '"' || b == '\\') text += '\\';
      text += static_cast<char>(b);
    }
    return text + "\"";
  }
  char hex[4];
  const size_t shown = payload.size() < 64 ? payload.size() : 64;
  for (size_t i = 0; i < shown; ++i) {
    std::snprintf(hex, sizeof(hex), "%02x", payload[i]);
    text += (i ? " " : "") + std::string(hex);
  }
  if (shown < payload.size()) text += " ...";
  return text;
}

// What one command did, for the sequence.
struct Outcome {
  velmora::NtStatus status = velmora::status::kSuccess;
  bool usage = false;
};

class Runner {
 public:
  Runner(Environment& env, std::ostream& out, std::ostream& err) : env_(env), out_(out), err_(err) {}

  Outcome Run(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    if (verb == "plug") return Plug(words);
    if (verb == "unplug") return Unplug(words);
    if (verb == "list") return List(words);
    if (verb == "put") return Put(words);
    if (verb == "fetch") return Fetch(words);
    if (verb == "listen") return Listen(words);
    if (verb == "withdraw") return Report("withdraw", env_.Client().DeleteEvent());
    if (verb == "power") return Power(words);
    if (verb == "wait") return Wait(words);
    return Usage("unknown command '" + verb + "'");
  }

 private:
  Outcome Usage(const std::string& why) {
    err_ << "velmoractl: " << why << " (velmoractl --help lists the commands)\n";
    Outcome o;
    o.usage = true;
    return o;
  }

  // One line for the command's result; failures also on the error stream.
  Outcome Report(const std::string& what, const velmora::Result& r) {
    Outcome o;
    o.status = r.status;
    if (r.ok()) {
      out_ << what << ": ok";
      if (r.status != velmora::status::kSuccess) out_ << " (" << velmora::DescribeStatus(r.status) << ")";
      out_ << "\n";
    } else {
      err_ << "velmoractl: " << what << ": " << r.Message() << "\n";
    }
    return o;
  }

  // The event is passed the first time a command needs records.
  bool EnsureEvent(const std::string& what, Outcome* outcome) {
    if (env_.Client().EventPassed()) return true;
    velmora::Result passed = env_.Client().PassEvent();
    if (passed.ok()) return true;
    *outcome = Report(what + " (passing the event)", passed);
    return false;
  }

  Outcome Plug(const std::vector<std::string>& words) {
    uint32_t serial = 0, type = velmora::kDefaultDeviceType;
    bool haveSerial = false;
    std::vector<std::string> ids;
    for (size_t i = 1; i < words.size(); ++i) {
      if (words[i] == "--type") {
        if (++i >= words.size() || !ParseU32(words[i], &type)) return Usage("plug: --type needs a number");
      } else if (!haveSerial) {
        if (!ParseU32(words[i], &serial)) return Usage("plug: '" + words[i] + "' is not a serial number");
        haveSerial = true;
      } else {
        ids.push_back(words[i]);
      }
    }
    if (!haveSerial) return Usage("plug needs a serial number and hardware IDs");
    Outcome o = Report("plug " + std::to_string(serial), env_.Client().PlugIn(serial, ids, type));
    env_.Settle();
    return o;
  }

  Outcome Unplug(const std::vector<std::string>& words) {
    if (words.size() != 2) return Usage("unplug needs a serial number or 'all'");
    velmora::Result r;
    if (words[1] == "all") {
      r = env_.Client().UnplugAll();
    } else {
      uint32_t serial;
      if (!ParseU32(words[1], &serial)) return Usage("unplug: '" + words[1] + "' is not a serial number");
      r = env_.Client().Unplug(serial);
    }
    Outcome o = Report("unplug " + words[1], r);
    env_.Settle();
    return o;
  }

  Outcome List(const std::vector<std::string>& words) {
    if (words.size() != 1) return Usage("list takes no arguments");
    std::vector<Child> children;
    velmora::Result r = env_.ListChildren(&children);
    if (!r.ok()) return Report("list", r);
    out_ << children.size() << (children.size() == 1 ? " child" : " children") << " on the bus\n";
    for (const Child& c : children) {
      out_ << "  " << c.instancePath << "  \"" << c.description << "\"  " << c.state << "\n";
      out_ << "      hardware IDs:   " << Join(c.hardwareIds, 0, " ") << "\n";
      out_ << "      compatible IDs: " << Join(c.compatibleIds, 0, " ") << "\n";
      out_ << "      driver:         " << (c.driver.empty() ? "(none)" : c.driver) << "\n";
    }
    return Outcome();
  }

  Outcome Put(const std::vector<std::string>& words) {
    uint32_t id = 1;
    bool hex = false;
    size_t i = 1;
    for (; i < words.size(); ++i) {
      if (words[i] == "--id") {
        if (++i >= words.size() || !ParseU32(words[i], &id) || id > 0xFF) return Usage("put: --id needs 0..255");
      } else if (words[i] == "--hex") {
        hex = true;
      } else {
        break;
      }
    }
    if (i >= words.size()) return Usage("put needs data");
    std::vector<uint8_t> payload;
    const std::string data = Join(words, i, " ");
    if (hex) {
      if (!ParseHex(data, &payload)) return Usage("put: '" + data + "' is not a run of hex bytes");
    } else {
      payload.assign(data.begin(), data.end());
    }
    const std::string what = "put id " + std::to_string(id) + ", " + std::to_string(payload.size()) + " bytes";
    // The event goes first: passing it later would discard what the child
    // driver answers to this record. The put itself does not need it.
    if (!env_.Client().EventPassed()) {
      velmora::Result passed = env_.Client().PassEvent();
      if (!passed.ok()) out_ << what << ": no answers can be received: " << passed.Message() << "\n";
    }
    return Report(what, env_.Client().Put(static_cast<uint8_t>(id), payload));
  }

  void ShowRecord(size_t n, const velmora::Record& r) {
    out_ << "record " << n << ": id " << static_cast<unsigned>(r.msgId) << ", " << r.payload.size()
         << " bytes: " << ShowPayload(r.payload) << "\n";
  }

  Outcome Fetch(const std::vector<std::string>& words) {
    if (words.size() != 1) return Usage("fetch takes no arguments");
    Outcome o;
    if (!EnsureEvent("fetch", &o)) return o;
    std::optional<velmora::Record> record;
    velmora::Result r = env_.Client().Fetch(record);
    if (!r.ok()) return Report("fetch", r);
    if (record)
      ShowRecord(1, *record);
    else
      out_ << "fetch: the queue is empty\n";
    return o;
  }

  Outcome Listen(const std::vector<std::string>& words) {
    uint32_t count = 0, timeout = env_.DefaultListenTimeoutMs();
    for (size_t i = 1; i < words.size(); ++i) {
      if (words[i] == "--count") {
        if (++i >= words.size() || !ParseU32(words[i], &count)) return Usage("listen: --count needs a number");
      } else if (words[i] == "--timeout") {
        if (++i >= words.size() || !ParseU32(words[i], &timeout)) return Usage("listen: --timeout needs milliseconds");
      } else {
        return Usage("listen: unknown option '" + words[i] + "'");
      }
    }
    Outcome o;
    if (!EnsureEvent("listen", &o)) return o;

    // The handler prints on the loop's thread; this thread only watches the
    // count until the loop has been stopped and joined.
    std::atomic<size_t> received{0};
    velmora::Client& client = env_.Client();
    velmora::Result started = client.StartReceiving(
        [&](const velmora::Record& r) {
          const size_t n = received.load() + 1;
          ShowRecord(n, r);
          received.store(n);
          // The loop fetches nothing more once this returns: the rest stay queued.
          if (count && n >= count) client.StopReceiving();
        },
        [&](const velmora::Result& r) { out_ << "listen: " << r.Message() << "\n"; });
    if (!started.ok()) return Report("listen", started);

    uint32_t waited = 0;
    const uint32_t step = 5;
    while (client.Receiving() && !env_.Interrupted() && (timeout == 0 || waited < timeout)) {
      env_.SleepMs(step);
      waited += step;
    }
    velmora::Result ended = client.StopReceiving();
    const size_t n = received.load();
    if (!ended.ok()) return Report("listen", ended);
    if (count && n < count) {
      velmora::Result late =
          Refuse(velmora::status::kIoTimeout, std::to_string(n) + " of " + std::to_string(count) +
                                                  " records came within " + std::to_string(timeout) + " ms");
      late.sent = true;
      return Report("listen", late);
    }
    out_ << "listen: " << n << (n == 1 ? " record" : " records") << "\n";
    return o;
  }

  Outcome Power(const std::vector<std::string>& words) {
    if (words.size() != 2 || (words[1] != "sleep" && words[1] != "hibernate" && words[1] != "wake"))
      return Usage("power needs sleep, hibernate or wake");
    return Report("power " + words[1], env_.Power(words[1]));
  }

  Outcome Wait(const std::vector<std::string>& words) {
    uint32_t ms;
    if (words.size() != 2 || !ParseU32(words[1], &ms)) return Usage("wait needs milliseconds");
    env_.SleepMs(ms);
    env_.Settle();
    return Outcome();
  }

  Environment& env_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

velmora::Result Environment::Power(const std::string& state) {
  return Refuse(velmora::status::kNotSupported, "power " + state + " is available on the kernel host only");
}

int ExitCode(velmora::NtStatus status) {
  if (velmora::IsSuccess(status)) return 0;
#ifdef _WIN32
  return static_cast<int>(status);
#else
  return (status & 0xFF) ? static_cast<int>(status & 0xFF) : 255;
#endif
}

bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i >= line.size() || line[i] == '#') break;
    std::string word;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
      if (line[i] == '"') {
        ++i;
        bool closed = false;
        while (i < line.size()) {
          if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
            word += '"';
            i += 2;
          } else if (line[i] == '"') {
            ++i;
            closed = true;
            break;
          } else {
            word += line[i++];
          }
        }
        if (!closed) {
          *error = "a quote is not closed";
          return false;
        }
      } else {
        word += line[i++];
      }
    }
    words->push_back(word);
  }
  return true;
}

bool ReadScenario(const std::string& path, std::vector<std::vector<std::string>>* commands, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read the scenario file '" + path + "'";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> words;
    std::string why;
    if (!SplitLine(line, &words, &why)) {
      *error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    }
    if (!words.empty()) commands->push_back(words);
  }
  return true;
}

bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      options->help = true;
    } else if (a == "--trace") {
      options->trace = true;
    } else if (a == "--keep-going") {
      options->keepGoing = true;
    } else if (a == "--max-record") {
      if (++i >= args.size() || !ParseU32(args[i], &options->maxRecord)) {
        *error = "--max-record needs a number of bytes";
        return false;
      }
    } else if (a == "-f" || a == "--file") {
      if (++i >= args.size()) {
        *error = a + " needs a file";
        return false;
      }
      if (!ReadScenario(args[i], &options->commands, error)) return false;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      *error = "unknown option '" + a + "'";
      return false;
    } else {
      break;
    }
  }
  std::vector<std::string> command;
  for (; i < args.size(); ++i) {
    if (args[i] == ";") {
      if (!command.empty()) options->commands.push_back(command);
      command.clear();
    } else {
      command.push_back(args[i]);
    }
  }
  if (!command.empty()) options->commands.push_back(command);
  if (options->commands.empty() && !options->help) {
    *error = "no command given";
    return false;
  }
  return true;
}

void ShowTrace(const std::vector<std::string>& lines, std::ostream& out) {
  for (std::string line : lines) {
    // Some of the driver's formats end in their own line feed.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    out << "   | " << line << "\n";
  }
}

int Execute(Environment& environment, const Options& options, std::ostream& out, std::ostream& err) {
  Runner runner(environment, out, err);
  int exit = 0;
  for (const std::vector<std::string>& command : options.commands) {
    out << "> " << Join(command, 0, " ") << "\n";
    Outcome o = runner.Run(command);
    if (options.trace) ShowTrace(environment.TakeTrace(), out);
    const int code = o.usage ? kUsageExit : ExitCode(o.status);
    if (code != 0) {
      if (exit == 0) exit = code;
      if (!options.keepGoing) break;
    }
  }
  return exit;
}

void PrintUsage(std::ostream& out, bool windows) {
  out << "usage: velmoractl [options] COMMAND [ARGS...] [\";\" COMMAND [ARGS...]]...\n"
         "\n"
         "Commands (a run may chain several, separated by a \";\" word):\n"
         "  plug SERIAL HWID [HWID...] [--type N]  plug a child in (serial 1 and up)\n"
         "  unplug SERIAL | unplug all             unplug one child or every child\n"
         "  list                                   the bus's children as Plug and Play sees them\n"
         "  put [--id N] [--hex] DATA              put a record down to the child driver (id 1)\n"
         "  fetch                                  fetch one queued record\n"
         "  listen [--count N] [--timeout MS]      receive records through the receive loop\n"
         "  withdraw                               withdraw the service's event from the bus\n"
         "  wait MS                                pause\n";
  if (!windows) out << "  power sleep|hibernate|wake             take the system to sleep and back\n";
  out << "\n"
         "Options:\n"
         "  -f, --file FILE     run the commands of a scenario file (one a line, # comments)\n"
         "  --keep-going        run the remaining commands after a failure\n"
         "  --max-record BYTES  the largest record a child driver pushes (default 4096)\n";
  if (!windows) out << "  --trace             show the driver's trace lines after each command\n";
  out << "\n"
         "Exit code: 0 when every command succeeded, 2 for a bad command line, otherwise\n";
  if (windows)
    out << "the NTSTATUS of the first command that failed.\n";
  else
    out << "the low byte of the NTSTATUS of the first command that failed (13 for\n"
           "STATUS_INVALID_PARAMETER, 14 for STATUS_NO_SUCH_DEVICE), 3 when the kernel\n"
           "host's verifier found something left behind.\n"
           "\n"
           "On Linux the tool boots the bus in the kernel host, with the sample child\n"
           "driver for the children, runs the commands and removes the bus again.\n";
}

}  // namespace velmoractl
