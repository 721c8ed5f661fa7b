// The protocol log file.
#pragma once
