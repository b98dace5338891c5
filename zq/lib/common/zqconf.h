// Strict reading of the instance's configuration files: conf/zq.conf,
// conf/snmp.conf and conf/zqsuf.  Every unknown key, bad value or malformed line
// is an error "FILE:LINE: what was expected", so that a typo never turns into a
// silent default.  The daemons refuse to start on any; zqcheck lists them all.
#pragma once

#include <string>
#include <vector>

#include "zqcommon.h"

namespace zq {

// conf/zq.conf into out (defaults for what it does not set).  A missing file is
// not an error (the defaults); a file that cannot be read is.  False when errors
// is not empty.
bool load_instance_conf(const std::string& file, InstanceConf& out, std::vector<std::string>& errors);
// The instance's conf/zq.conf; on errors, prints them to standard error as
// "PROGRAM: ..." and returns false.
bool load_instance_conf_or_report(const char* program, InstanceConf& out);

// conf/snmp.conf: "PATTERN [community=C] [timeout=SECONDS] [retries=N] [port=P]" and the
// SNMPv3 keys; a line that says version=3 is also checked against its users file.
bool check_snmp_conf(const std::string& file, std::vector<std::string>& errors);

// conf/hosts: "ADDRESS NAME [ALIAS...]" a line, ADDRESS a dotted IPv4 address
// (IPv6 lines are let through: the resolver skips them).  A missing file is no
// error; a FIFO or link in its place is.
bool check_hosts_file(const std::string& file, std::vector<std::string>& errors);

// One process line of conf/zqsuf: NAME [restart=yes|no] PATH [ARGUMENTS...].
struct SufLine {
    std::string name;
    bool restart = true;
    std::vector<std::string> argv;  // argv[0] is PATH as written
    int line = 0;
};
// Parses the text of conf/zqsuf (file names the errors).  Lines in error are left
// out of lines; false when errors is not empty.
bool parse_zqsuf(const std::string& text, const std::string& file, std::vector<SufLine>& lines,
                 std::vector<std::string>& errors);
// A process name: letters, digits, '_', '-', '.', at most 64, not "all".
bool valid_process_name(const std::string& name);

}  // namespace zq
