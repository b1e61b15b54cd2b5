"""Reading audio and activations, naming and checking the files of a batch."""
