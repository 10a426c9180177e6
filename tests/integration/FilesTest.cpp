// Room files end to end.
