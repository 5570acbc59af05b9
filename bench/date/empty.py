# start-up only
