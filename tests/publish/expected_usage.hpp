// The usage text velquin_publish prints, written out independently of the program's own;
// the example address and host name are the program's choice, each used twice.
#pragma once

#include <string>

inline std::string expected_usage(const std::string& address, const std::string& host) {
    const std::string p = "velquin_publish -H ";
    const char* const lines[] = {
        "",
        "",
        "velquin_publish -H[--host] myhost -P[--port] myport [OPTIONS]",
        "",
        "",
        "OPTIONS:",
        "-c[--config]: print out the host configuration in Json styled form. Can be piped into a file",
        "-o[--command]: sends value to the commands channel.",
        "-p[--path]: the literal path into the config where key:value will be set",
        "-k[--key]: the key value",
        "-v[--value]: the value associated to the key",
        "-jv[--jsonvalue]: the json value associated to the key; Note: key may be omitted",
        "",
        "EXAMPLES:",
    };
    std::string text;
    for (const char* line : lines)
        text += std::string(line) + "\n";
    text += p + address + " -P 8081 -c > hostconfig.txt\n";
    text += p + address + " -P 8081 -o -v reboot\n";
    text +=
        p + host +
        R"( -P 80 -o -v gpio_read_iic -k "{\"device_addr\": 45, \"register_addr\": 30, \"value\": 5}")"
        "\n";
    text +=
        p + host +
        R"( -P 80 -p $.actions.create_connections -jv "[{\"out\": {\"module_id\": 2, \"channel_id\" : 0}, \"in\" : {\"module_id\": 1, \"channel_id\" : 0}}]")"
        "\n";
    text +=
        "velquin_publish -H localhost -P 8081 -p $.sessions.sources[?(@.id==1)][0] -k name -v mySource1\n";
    text += "If ordered, -p -k -v can be ommited\n";
    text +=
        "velquin_publish -H localhost -P 8081 $.sessions.sources[?(@.id==1)][0] name mySource1\n";
    text +=
        "velquin_publish -H localhost -P 8081 -p $._modules[?(@.id==254)][0] -k outputs_1to8 -v 110\n";
    text += "\n\n";
    return text;
}
