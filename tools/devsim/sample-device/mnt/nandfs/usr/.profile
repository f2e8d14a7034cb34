profile=default
