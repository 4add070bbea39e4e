from tally_warden.hookgate import main

main()
