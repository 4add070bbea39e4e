s = 'it\'s # not a comment' # tally-warden: ignore
