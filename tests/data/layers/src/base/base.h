int base_marker;
