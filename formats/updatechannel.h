#pragma once

// The update channel of the installation. The value is also the position of
// the channel's entry in the version list that the update server sends.
enum UpdateChannel { StableChannel = 0, BetaChannel = 1, AlphaChannel = 2 };
