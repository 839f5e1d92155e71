from tarnexa.command import main

main()
