# nothing: the start-up subtracted from the others
