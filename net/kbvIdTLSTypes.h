// The TLS choices shared by the TLS IO handlers and the option groups that
// configure them.
#pragma once

enum TwsTLSVersions { tlsUndefined, tls1_0, tls1_1, tls1_2, tls1_3 };

// The certificate stores a client certificate is looked up in: store
// folders named "MY", "Root", "Trust" and "CA", per user or machine-wide.
enum TkbvSChannelCertStoreName { scsnMY, scsnRoot, scsnTrust, scsnCA };
enum TkbvSChannelCertStorePath { scspStoreCurrentUser, scspStoreLocalMachine };
