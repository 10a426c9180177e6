// Room requests end to end.
