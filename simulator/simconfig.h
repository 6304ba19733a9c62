// The simulator's configuration file: which devices exist, how they behave
// and where the event log goes. Tests rewrite the file while a process keeps
// the backend loaded, so it is read afresh on every device listing and open.
#ifndef VELLOSCAN_SIM_CONFIG_H
#define VELLOSCAN_SIM_CONFIG_H

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace sim {

struct DeviceSpec {
    std::string backend;
    std::string name;
    std::string vendor = "Corvane";
    std::string model;  // defaults to the name
    std::string type = "sheetfed scanner";
    std::string profile = "sheetfed";
    // Every key=value of the line, so that behaviour added later needs no
    // change to the parser; the accessors below give typed values.
    std::map<std::string, std::string> keys;

    int intKey(const std::string &key, int fallback) const
    {
        auto it = keys.find(key);
        if (it == keys.end() || it->second.empty())
            return fallback;
        char *end = nullptr;
        long v = std::strtol(it->second.c_str(), &end, 10);
        if (*end != '\0')
            return fallback;
        return static_cast<int>(v);
    }
    std::string textKey(const std::string &key, const std::string &fallback) const
    {
        auto it = keys.find(key);
        return it == keys.end() ? fallback : it->second;
    }
};

// Fields are split at blanks, so a device text that needs one (a SANE type
// such as "flatbed scanner") writes it as %20; any %XX is decoded.
inline std::string percentDecoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))
            && std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Config {
    std::string dir;      // empty when SANE_CONFIG_DIR is not set
    std::string logPath;  // empty when there is nowhere to log
    std::vector<DeviceSpec> devices;  // every backend's, in file order
};

// libsane's own rule: the list is split at ':' and the first entry is where
// our file lives.
inline std::string configDir()
{
    const char *env = std::getenv("SANE_CONFIG_DIR");
    if (!env)
        return std::string();
    std::string all(env);
    return all.substr(0, all.find(':'));
}

inline Config readConfig()
{
    Config cfg;
    cfg.dir = configDir();
    if (cfg.dir.empty())
        return cfg;
    cfg.logPath = cfg.dir + "/velloscan-sim.log";

    std::ifstream in(cfg.dir + "/velloscan-sim.conf");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        if (!(fields >> word) || word[0] == '#')
            continue;
        if (word == "log") {
            std::string path;
            if (fields >> path)
                cfg.logPath = path;
        } else if (word == "device") {
            DeviceSpec dev;
            if (!(fields >> dev.backend >> dev.name))
                continue;
            std::string kv;
            while (fields >> kv) {
                auto eq = kv.find('=');
                if (eq == std::string::npos)
                    continue;
                dev.keys[kv.substr(0, eq)] = kv.substr(eq + 1);
            }
            dev.model = dev.name;
            dev.vendor = percentDecoded(dev.textKey("vendor", dev.vendor));
            dev.model = percentDecoded(dev.textKey("model", dev.model));
            dev.type = percentDecoded(dev.textKey("type", dev.type));
            dev.profile = dev.textKey("profile", dev.profile);
            cfg.devices.push_back(std::move(dev));
        }
    }
    return cfg;
}

} // namespace sim

#endif
