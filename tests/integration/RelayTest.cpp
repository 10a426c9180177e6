// Relay end to end.
