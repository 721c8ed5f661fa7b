// Authentication schemes (Basic, Digest, NTLM) answer server and proxy
// challenges. Only the base exists so far: the header records own an
// authentication object through it; the schemes come with their own unit.
#pragma once

#include "core/Persistent.h"

class TIdAuthentication : public TPersistent {
public:
    ~TIdAuthentication() override = 0;
};

inline TIdAuthentication::~TIdAuthentication() = default;
