"""The contract's message texts that several test files check, written once."""

# RuntimeError of every method that needs a file, on a closed object.
NO_HANDLE = "Ondalis::error::no valid soundfilehandle"
# libsndfile's error text for a refused command argument, as the module quotes it.
BAD_PARAMETER = "b'Bad parameter passed to function sf_command.'"
