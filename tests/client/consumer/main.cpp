// Asks the morvik named on the command line for the computer name and whether C:\ is NTFS.
#include <iostream>

#include <morvik/client.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: consumer MORVIK\n";
    return 3;
  }
  try {
    morvik::Client client({argv[1]});
    std::cout << client.computerName() << (client.isNtfs("C:\\") ? " NTFS" : " other") << "\n";
    return client.close();
  } catch (const std::exception& e) {
    std::cerr << "consumer: " << e.what() << "\n";
    return 2;
  }
}
